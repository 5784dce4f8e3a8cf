// The refusal text is compared with the sentence as a person types it (UTF-8
// in this file), through the system's conversion, code unit by code unit.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "launcher/tollgate_text.h"
#include "tests/launcher/refusal_text.h"

namespace {

std::wstring FromUtf8(const char* s) {
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, NULL, 0);
  std::wstring w((size_t)n, L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, &w[0], n);
  w.resize((size_t)n - 1);
  return w;
}

TEST(TollgateText, IsTheKoreanRefusalCodeUnitForCodeUnit) {
  const std::wstring expected = FromUtf8(
      kRefusalUtf8);
  const std::wstring actual(g_szRefusalText);
  ASSERT_EQ(50u, actual.size());
  ASSERT_EQ(expected.size(), actual.size());
  for (size_t i = 0; i < actual.size(); ++i) EXPECT_EQ((unsigned)expected[i], (unsigned)actual[i]) << "code unit " << i;
  // Three lines; the first two end with a blank before the line feed.
  EXPECT_EQ(L" \n", actual.substr(18, 2));
  EXPECT_EQ(L" \n", actual.substr(37, 2));
  EXPECT_EQ(L'\n', actual[49]);
  EXPECT_EQ(3, (int)std::count(actual.begin(), actual.end(), L'\n'));
}

}  // namespace
