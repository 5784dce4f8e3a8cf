#include "tests/updater/card_drive.h"

#include <windows.h>

#include <atomic>

#include "platform/debug_sink.h"

namespace {

std::string Env(const wchar_t* name) {
  wchar_t v[1024];
  DWORD n = GetEnvironmentVariableW(name, v, 1024);
  if (n == 0 || n >= 1024) return std::string();
  std::wstring w(v, n);
  return std::string(w.begin(), w.end());
}

// Runs a shell line on the host: Wine starts ELF programs directly, but does
// not let a Windows process wait for them, so the line leaves a mark file
// when it is done and this waits (bounded) for the mark.
bool Shell(const std::wstring& line, const std::wstring& markWinPath) {
  std::wstring cmd = L"/bin/sh -c \"" + line + L"\"";
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(L"Z:\\bin\\sh", &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  if (markWinPath.empty()) return true;
  for (int i = 0; i < 2000; ++i) {
    if (GetFileAttributesW(markWinPath.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    Sleep(5);
  }
  return false;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring Quoted(const std::string& unixPath) { return L"'" + PlatformWide(unixPath) + L"'"; }

}  // namespace

CardDrive::CardDrive() {
  static std::atomic<int> counter{0};
  unixDir_ = "/tmp/kestrel-upd-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
  winDir_ = L"Z:" + PlatformWide(unixDir_);
  for (auto& c : winDir_)
    if (c == L'/') c = L'\\';
  if (!CreateDirectoryW(winDir_.c_str(), NULL) || !CreateDirectoryW((winDir_ + L"\\SDMMC Disk").c_str(), NULL)) {
    error_ = "cannot make " + unixDir_;
    return;
  }
  std::string prefix = Env(L"WINEPREFIX");
  if (prefix.empty()) prefix = Env(L"HOME") + "/.cache/kestrel/wineprefix";
  // Letters the device runner (y..k) does not use; ln -s refuses a taken one,
  // so two programs never share a letter.
  for (wchar_t l = L'j'; l >= L'd' && letter_ == 0; --l) {
    std::string link = prefix + "/dosdevices/" + char(l) + ":";
    std::wstring root = std::wstring(1, l) + L":\\";
    if (Exists(root)) continue;
    std::wstring mapped = L"mapped-" + std::wstring(1, l), tried = L"tried-" + std::wstring(1, l);
    Shell(L"ln -s " + Quoted(unixDir_) + L" " + Quoted(link) + L" && touch " + Quoted(unixDir_) + L"/" + mapped +
              L"; touch " + Quoted(unixDir_) + L"/" + tried,
          winDir_ + L"\\" + tried);
    if (Exists(winDir_ + L"\\" + mapped) && Exists(root + mapped)) {
      letter_ = l;
      link_ = link;
    }
  }
  if (letter_ == 0) {
    error_ = "no free drive letter in " + prefix + "/dosdevices";
    return;
  }
  wchar_t old[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, old);
  oldDir_ = old;
  SetCurrentDirectoryW((std::wstring(1, letter_) + L":\\").c_str());
}

CardDrive::~CardDrive() {
  if (!oldDir_.empty()) SetCurrentDirectoryW(oldDir_.c_str());
  if (!link_.empty())
    Shell(L"rm -f " + Quoted(link_) + L"; touch " + Quoted(unixDir_) + L"/unmapped", winDir_ + L"\\unmapped");
  if (!unixDir_.empty()) Shell(L"rm -rf " + Quoted(unixDir_), L"");
}

std::wstring CardDrive::ImagePath() const { return winDir_ + L"\\SDMMC Disk\\EBOOT.NB0"; }

void CardDrive::PutImage(const std::vector<uint8_t>& bytes) const {
  HANDLE h = CreateFileW(ImagePath().c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD done = 0;
  if (!bytes.empty()) WriteFile(h, bytes.data(), (DWORD)bytes.size(), &done, NULL);
  CloseHandle(h);
}

void CardDrive::PutImageOfSize(uint64_t size) const {
  HANDLE h = CreateFileW(ImagePath().c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER end;
  end.QuadPart = (LONGLONG)size;
  SetFilePointerEx(h, end, NULL, FILE_BEGIN);
  SetEndOfFile(h);
  CloseHandle(h);
}

void CardDrive::RemoveImage() const { DeleteFileW(ImagePath().c_str()); }
