// Card reads as a worn or loose card does them, for the run tests: the
// program's ReadFile, armed by the test.
#ifndef TESTS_UPDATER_CARD_READ_H
#define TESTS_UPDATER_CARD_READ_H

enum class CardRead { Normal, Fail, Short };
void SetCardRead(CardRead mode);

#endif
