// The handheld kernel's file calls for one Linux process: device paths
// ("\SDMMC Disk\EBOOT.NB0") resolved in the device folder without regard to
// case, as the device's file system matches names; share modes between every
// open of one file; the faults of a worn card.
#include <windows.h>

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/native/kernel_internal.h"
#include "platform/native/kernel_state.h"
#include "platform/native/native.h"

using native::detail::K;
using native::detail::Lookup;
using native::detail::NewHandle;
using native::detail::Object;
using native::detail::PathOfCall;
using native::detail::t_lastError;

// --- path resolution ---------------------------------------------------------------------

namespace native {
namespace {

std::string g_root;  // SetDeviceRoot

std::string Lower(std::string s) {
  for (char& c : s) c = char(tolower(static_cast<unsigned char>(c)));
  return s;
}

// The entry of dir whose name matches part without regard to case, as the
// device's file system matches names.
bool MatchEntry(const std::string& dir, const std::string& part, std::string* name) {
  // An entry of exactly that name is the match the scan below would prefer;
  // one look-up finds it without reading the folder.
  struct stat st;
  if (lstat((dir + "/" + part).c_str(), &st) == 0) {
    *name = part;
    return true;
  }
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  while (struct dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, part.c_str()) == 0) {
      *name = e->d_name;
      found = true;
      if (part == e->d_name) break;
    }
  }
  closedir(d);
  return found;
}

// A device path ("\SDMMC Disk\EBOOT.NB0": root-relative, backslashes) or a
// Linux path (tests' own files) as a Linux path. The last component may be
// missing (a file to be made); a missing folder is ERROR_PATH_NOT_FOUND.
bool Resolve(const std::string& utf8, std::string* out, DWORD* error) {
  if (!utf8.empty() && utf8[0] == '/') {
    *out = utf8;
    return true;
  }
  std::string root = g_root;
  if (root.empty()) root = internal::AttachedDeviceDir();
  if (utf8.empty() || utf8[0] != '\\' || root.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  std::vector<std::string> parts;
  std::string part;
  for (size_t i = 1; i <= utf8.size(); ++i) {
    if (i == utf8.size() || utf8[i] == '\\' || utf8[i] == '/') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += utf8[i];
    }
  }
  std::string path = root;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i] == "." || parts[i] == "..") {
      *error = ERROR_PATH_NOT_FOUND;
      return false;
    }
    std::string name;
    if (!MatchEntry(path, parts[i], &name)) {
      if (i + 1 < parts.size()) {
        *error = ERROR_PATH_NOT_FOUND;
        return false;
      }
      name = parts[i];
    }
    path += "/" + name;
  }
  *out = path;
  return true;
}

}  // namespace

namespace detail {

// The start of every call that names a file on the device (kernel_state.h).
bool PathOfCall(FailureKind kind, DWORD failError, LPCWSTR name, std::string* path) {
  std::string utf8 = internal::DeviceUtf8(name);
  if (internal::FailHere(kind, utf8.c_str())) {
    t_lastError = failError;
    return false;
  }
  DWORD error = 0;
  if (!Resolve(utf8, path, &error)) {
    t_lastError = error;
    return false;
  }
  return true;
}

}  // namespace detail

namespace {

bool SharingAllows(const Object* open, DWORD access, DWORD share) {
  if ((access & GENERIC_READ) && !(open->share & FILE_SHARE_READ)) return false;
  if ((access & GENERIC_WRITE) && !(open->share & FILE_SHARE_WRITE)) return false;
  if ((open->access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return false;
  if ((open->access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return false;
  return true;
}

// DEVSIM_CARD_FAULT, as the Wine platform reads it: the faults of a worn card.
enum CardFault { kCardHealthy, kCardReadFail, kCardShortRead };
CardFault Fault() {
  const char* v = getenv("DEVSIM_CARD_FAULT");
  if (v && strcmp(v, "read-fail") == 0) return kCardReadFail;
  if (v && strcmp(v, "short-read") == 0) return kCardShortRead;
  return kCardHealthy;
}

}  // namespace

void SetDeviceRoot(const std::string& dir) {
  std::lock_guard<std::mutex> g(K().lock);
  g_root = dir;
}

}  // namespace native

// --- the calls -----------------------------------------------------------------------------

extern "C" HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                              HANDLE) {
  std::string path;
  if (!PathOfCall(native::FailureKind::kCreateFile, ERROR_NOT_READY, name, &path)) return INVALID_HANDLE_VALUE;
  int flags = (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
  switch (disposition) {
    case CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      flags |= O_TRUNC;
      break;
    case OPEN_EXISTING:
      break;
    default:
      t_lastError = ERROR_INVALID_PARAMETER;
      return INVALID_HANDLE_VALUE;
  }
  std::lock_guard<std::mutex> g(K().lock);
  struct stat st;
  bool exists = stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    t_lastError = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  if (exists) {
    // Share modes hold between every open of one file on the device.
    for (Object* o : K().objects) {
      if (o->kind == Object::kFile && o->path == path && !native::SharingAllows(o, access, share)) {
        t_lastError = ERROR_SHARING_VIOLATION;
        return INVALID_HANDLE_VALUE;
      }
    }
  }
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    t_lastError = errno == ENOENT ? ERROR_FILE_NOT_FOUND : errno == EEXIST ? 80 : ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  Object* o = new Object;
  o->kind = Object::kFile;
  o->path = path;
  o->fd = fd;
  o->access = access;
  o->share = share;
  o->onCard = native::Lower(path).find("/sdmmc disk/") != std::string::npos;
  K().objects.insert(o);
  t_lastError = exists && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) ? ERROR_ALREADY_EXISTS : 0;
  return NewHandle(o);
}

extern "C" DWORD GetFileSize(HANDLE h, LPDWORD high) {
  if (native::internal::FailHere(native::FailureKind::kGetFileSize, "")) {
    t_lastError = ERROR_NOT_READY;
    return INVALID_FILE_SIZE;
  }
  std::lock_guard<std::mutex> g(K().lock);
  Object* o = Lookup(h);
  struct stat st;
  if (!o || o->kind != Object::kFile || fstat(o->fd, &st) != 0) {
    t_lastError = ERROR_INVALID_HANDLE;
    return INVALID_FILE_SIZE;
  }
  uint64_t size = uint64_t(st.st_size);
  if (high) *high = DWORD(size >> 32);
  t_lastError = 0;
  return DWORD(size);
}

extern "C" BOOL ReadFile(HANDLE h, LPVOID buf, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  int fd = -1;
  bool onCard = false;
  {
    std::lock_guard<std::mutex> g(K().lock);
    Object* o = Lookup(h);
    if (!o || o->kind != Object::kFile || !(o->access & GENERIC_READ)) {
      t_lastError = ERROR_INVALID_HANDLE;
      if (read) *read = 0;
      return FALSE;
    }
    fd = o->fd;
    onCard = o->onCard;
  }
  if (native::internal::FailHere(native::FailureKind::kReadFile, "")) {
    if (read) *read = 0;
    t_lastError = ERROR_READ_FAULT;
    return FALSE;
  }
  if (native::internal::FailHere(native::FailureKind::kShortRead, "")) toRead /= 2;
  if (onCard) {
    native::CardFault f = native::Fault();
    if (f == native::kCardReadFail) {
      if (read) *read = 0;
      t_lastError = ERROR_READ_FAULT;
      return FALSE;
    }
    if (f == native::kCardShortRead) toRead /= 2;
  }
  DWORD done = 0;
  while (done < toRead) {
    ssize_t n = ::read(fd, static_cast<char*>(buf) + done, toRead - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (read) *read = done;
      t_lastError = ERROR_READ_FAULT;
      return FALSE;
    }
    if (n == 0) break;
    done += DWORD(n);
  }
  if (read) *read = done;
  return TRUE;
}
