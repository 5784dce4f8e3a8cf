// The handheld kernel's calls the launcher makes for one Linux process: file
// search, deletion, and the start of a program on the card. A program here is
// a body registered under its path (RegisterProgram) and run as a process of
// its own (kernel.cpp); the start returns once it has ended.
#include <windows.h>

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <functional>
#include <mutex>
#include <string>

#include "platform/native/kernel_internal.h"
#include "platform/native/kernel_state.h"
#include "platform/native/native.h"

using native::detail::K;
using native::detail::Lookup;
using native::detail::NewHandle;
using native::detail::Object;
using native::detail::PathOfCall;
using native::detail::t_lastError;
using native::detail::t_startingChild;

// --- file search, deletion, processes (the launcher's calls) -------------------------

namespace native {
namespace {

std::wstring LowerWide(const wchar_t* s) {
  std::wstring out;
  for (; s && *s; ++s) out += wchar_t(towlower(wint_t(*s)));
  return out;
}

}  // namespace

void RegisterProgram(const std::wstring& path, const std::function<int()>& body) {
  std::lock_guard<std::mutex> g(K().lock);
  K().programs[LowerWide(path.c_str())] = body;
}

}  // namespace native

extern "C" HANDLE FindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW data) {
  std::string path;
  if (!PathOfCall(native::FailureKind::kFindFirstFile, ERROR_NOT_READY, name, &path)) return INVALID_HANDLE_VALUE;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    t_lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  memset(data, 0, sizeof(*data));
  data->nFileSizeLow = DWORD(st.st_size);
  std::string base = path.substr(path.rfind('/') + 1);
  for (size_t i = 0; i < base.size() && i + 1 < MAX_PATH; ++i)
    data->cFileName[i] = wchar_t(static_cast<unsigned char>(base[i]));
  std::lock_guard<std::mutex> g(K().lock);
  Object* o = new Object;
  o->kind = Object::kFind;
  o->path = path;
  K().objects.insert(o);
  t_lastError = 0;
  return NewHandle(o);
}

extern "C" BOOL FindClose(HANDLE h) { return CloseHandle(h); }

extern "C" BOOL DeleteFileW(LPCWSTR name) {
  std::string path;
  if (!PathOfCall(native::FailureKind::kDeleteFile, ERROR_ACCESS_DENIED, name, &path)) return FALSE;
  std::lock_guard<std::mutex> g(K().lock);
  // An open file cannot be deleted on the device (no FILE_SHARE_DELETE there).
  for (Object* o : K().objects) {
    if (o->kind == Object::kFile && o->path == path) {
      t_lastError = ERROR_SHARING_VIOLATION;
      return FALSE;
    }
  }
  if (unlink(path.c_str()) != 0) {
    t_lastError = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL CreateProcessW(LPCWSTR app, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                               LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION pi) {
  std::string path;
  if (!PathOfCall(native::FailureKind::kCreateProcess, ERROR_NOT_ENOUGH_MEMORY, app, &path)) return FALSE;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    t_lastError = ERROR_FILE_NOT_FOUND;
    return FALSE;
  }
  std::function<int()> body;
  {
    std::lock_guard<std::mutex> g(K().lock);
    auto it = K().programs.find(native::LowerWide(app));
    if (it == K().programs.end()) {
      t_lastError = 193;  // ERROR_BAD_EXE_FORMAT: a file, but no program this device runs
      return FALSE;
    }
    body = it->second;
  }
  int code = 0;
  t_startingChild = true;
  native::ProgramEnd end = native::RunProgram([&] { code = body(); }, true);
  t_startingChild = false;
  std::lock_guard<std::mutex> g(K().lock);
  Object* o = new Object;
  o->kind = Object::kProcess;
  o->exitCode = end == native::ProgramEnd::kReturned ? DWORD(code) : 1;
  o->refs = 2;  // the process and the thread handle
  K().objects.insert(o);
  pi->hProcess = NewHandle(o);
  pi->hThread = NewHandle(o);
  pi->dwProcessId = pi->dwThreadId = 0;
  t_lastError = 0;
  return TRUE;
}

extern "C" BOOL GetExitCodeProcess(HANDLE h, LPDWORD code) {
  if (native::internal::FailHere(native::FailureKind::kGetExitCodeProcess, "")) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  std::lock_guard<std::mutex> g(K().lock);
  Object* o = Lookup(h);
  if (!o || o->kind != Object::kProcess) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  *code = o->exitCode;
  return TRUE;
}
