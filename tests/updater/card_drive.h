// A card for the updater to find: a fresh folder holding "SDMMC Disk",
// mapped as a drive letter of the Wine prefix and made the current
// directory, so "\SDMMC Disk\EBOOT.NB0" resolves into it as it does on the
// handheld. Undone (directory, mapping, folder) on destruction.
#ifndef TESTS_UPDATER_CARD_DRIVE_H
#define TESTS_UPDATER_CARD_DRIVE_H

#include <cstdint>
#include <string>
#include <vector>

class CardDrive {
 public:
  CardDrive();
  ~CardDrive();
  bool Ok() const { return letter_ != 0; }
  std::string Error() const { return error_; }

  void PutImage(const std::vector<uint8_t>& bytes) const;
  // A file of this many bytes without writing them (sparse where it can be).
  void PutImageOfSize(uint64_t size) const;
  void RemoveImage() const;

 private:
  std::wstring ImagePath() const;
  std::string unixDir_;
  std::wstring winDir_;
  std::string link_;
  wchar_t letter_ = 0;
  std::wstring oldDir_;
  std::string error_;
};

#endif
