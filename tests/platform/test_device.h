// A fresh simulated device in a temporary folder, attached to this process.
#ifndef TESTS_PLATFORM_TEST_DEVICE_H
#define TESTS_PLATFORM_TEST_DEVICE_H

#include <windows.h>

#include <string>

#include "platform/debug_sink.h"
#include "sim/device_files.h"
#include "sim/soc.h"

class TestDevice {
 public:
  TestDevice() {
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    wchar_t name[64];
    swprintf(name, 64, L"kestrel-platform-%lu-%lu", (unsigned long)GetCurrentProcessId(),
             (unsigned long)GetTickCount());
    dir_ = std::wstring(tmp) + name;
  }
  ~TestDevice() {
    sim::SocDetach();
    DeleteTree(dir_);
  }
  bool Attach(const sim::NandConfig& cfg = sim::NandConfig()) {
    std::string err;
    if (!sim::CreateDeviceFiles(PlatformUtf8(dir_), cfg, &err)) return false;
    return sim::SocAttachTo(dir_.c_str());
  }
  const std::wstring& Dir() const { return dir_; }

 private:
  static void DeleteTree(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        std::wstring n = fd.cFileName;
        if (n == L"." || n == L"..") continue;
        std::wstring p = dir + L"\\" + n;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          DeleteTree(p);
        else
          DeleteFileW(p.c_str());
      } while (FindNextFileW(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
  }
  std::wstring dir_;
};

#endif
