// Kestrel's compiled resources, read back the way the system reads them:
// the dialog template's bytes, the icon group and its images, the version
// block. This program carries the same resource objects as kestrel.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/include/afxres.h"
#include "updater/resource.h"

namespace {

const WORD kEnglishUS = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);           // 1033
const WORD kChinesePRC = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);  // 2052

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD lang, LONG_PTR out) {
  ((std::vector<WORD>*)out)->push_back(lang);
  return TRUE;
}

std::vector<WORD> Languages(LPCWSTR type, LPCWSTR name) {
  std::vector<WORD> langs;
  EnumResourceLanguagesW(NULL, type, name, AddLanguage, (LONG_PTR)&langs);
  return langs;
}

std::vector<BYTE> Resource(LPCWSTR type, LPCWSTR name, WORD lang) {
  HRSRC r = FindResourceExW(NULL, type, name, lang);
  if (r == NULL) return {};
  const BYTE* p = (const BYTE*)LockResource(LoadResource(NULL, r));
  return std::vector<BYTE>(p, p + SizeofResource(NULL, r));
}

// Reads a dialog template field by field.
class TemplateReader {
 public:
  explicit TemplateReader(const std::vector<BYTE>& b) : b_(b) {}
  WORD Word() { return Get<WORD>(); }
  DWORD Dword() { return Get<DWORD>(); }
  short Short() { return (short)Get<WORD>(); }
  BYTE Byte() { return Get<BYTE>(); }
  // sz_Or_Ord: 0 (none), 0xFFFF + ordinal ("#n"), or a string.
  std::wstring SzOrOrd() {
    WORD first = Word();
    if (first == 0) return L"";
    if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
    std::wstring s(1, (wchar_t)first);
    return s + Sz();
  }
  std::wstring Sz() {
    std::wstring s;
    for (WORD c = Word(); c != 0 && ok_; c = Word()) s += (wchar_t)c;
    return s;
  }
  void AlignDword() { pos_ = (pos_ + 3) & ~size_t(3); }
  void Skip(size_t n) { pos_ += n; }
  bool Ok() const { return ok_ && pos_ <= b_.size(); }

 private:
  template <typename T>
  T Get() {
    T v = 0;
    if (pos_ + sizeof(T) > b_.size()) {
      ok_ = false;
      return v;
    }
    memcpy(&v, &b_[pos_], sizeof(T));
    pos_ += sizeof(T);
    return v;
  }
  const std::vector<BYTE>& b_;
  size_t pos_ = 0;
  bool ok_ = true;
};

struct Item {
  DWORD exStyle, style;
  short x, y, cx, cy;
  DWORD id;
  std::wstring cls, title;
};

TEST(KestrelResources, DialogTemplateHasTheDialogsStylesFontAndTwoControls) {
  EXPECT_EQ(std::vector<WORD>{kEnglishUS}, Languages(RT_DIALOG, MAKEINTRESOURCEW(IDD_UPDATER_DIALOG)));
  std::vector<BYTE> t = Resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_UPDATER_DIALOG), kEnglishUS);
  ASSERT_FALSE(t.empty());
  TemplateReader r(t);
  EXPECT_EQ(1, r.Word()) << "DLGTEMPLATEEX version";
  EXPECT_EQ(0xFFFF, r.Word()) << "DLGTEMPLATEEX signature";
  EXPECT_EQ(0u, r.Dword()) << "help id";
  EXPECT_EQ(0x80040000u, r.Dword()) << "WS_EX_CAPTIONOKBTN | WS_EX_APPWINDOW";
  EXPECT_EQ(0x90C800C0u, r.Dword()) << "WS_POPUP|WS_VISIBLE|WS_CAPTION|WS_SYSMENU|DS_MODALFRAME|DS_SETFONT";
  WORD count = r.Word();
  short x = r.Short(), y = r.Short(), cx = r.Short(), cy = r.Short();
  EXPECT_EQ(2, count);
  EXPECT_EQ(0, x);
  EXPECT_EQ(0, y);
  EXPECT_EQ(169, cx);
  EXPECT_EQ(70, cy);
  EXPECT_EQ(L"", r.SzOrOrd()) << "no menu";
  EXPECT_EQ(L"", r.SzOrOrd()) << "the default dialog class";
  EXPECT_EQ(L"Kestrel", r.Sz());
  EXPECT_EQ(8, r.Word()) << "point size";
  r.Word();  // weight
  r.Byte();  // italic
  r.Byte();  // character set
  EXPECT_EQ(L"System", r.Sz());

  std::vector<Item> items;
  for (int i = 0; i < count && r.Ok(); ++i) {
    r.AlignDword();
    Item it;
    r.Dword();  // help id
    it.exStyle = r.Dword();
    it.style = r.Dword();
    it.x = r.Short();
    it.y = r.Short();
    it.cx = r.Short();
    it.cy = r.Short();
    it.id = r.Dword();
    it.cls = r.SzOrOrd();
    it.title = r.SzOrOrd();
    r.Skip(r.Word());
    items.push_back(it);
  }
  ASSERT_TRUE(r.Ok()) << "template ends early";
  ASSERT_EQ(2u, items.size());
  struct Expect {
    DWORD id;
    const wchar_t* cls;
    const wchar_t* title;
    DWORD style;
    short x, y, cx, cy;
  } expected[] = {
      {IDC_UPDATE, L"#128", L"Update", 0x50010000, 55, 49, 52, 13},
      {IDC_PROGRESS, L"msctls_progress32", L"Progress1", 0x50800000, 19, 20, 133, 20},
  };
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(expected[i].id);
    EXPECT_EQ(expected[i].id, items[i].id);
    // The resource compiler writes a class name in capitals; the dialog
    // manager looks window classes up regardless of case.
    EXPECT_EQ(0, _wcsicmp(expected[i].cls, items[i].cls.c_str()))
        << std::string(items[i].cls.begin(), items[i].cls.end());
    EXPECT_EQ(expected[i].title, items[i].title);
    EXPECT_EQ(expected[i].style, items[i].style) << std::hex << items[i].style;
    EXPECT_EQ(0u, items[i].exStyle);
    EXPECT_EQ(expected[i].x, items[i].x);
    EXPECT_EQ(expected[i].y, items[i].y);
    EXPECT_EQ(expected[i].cx, items[i].cx);
    EXPECT_EQ(expected[i].cy, items[i].cy);
  }
}

// --- the icon ---------------------------------------------------------------

#pragma pack(push, 2)
struct GroupEntry {
  BYTE width, height, colorCount, reserved;
  WORD planes, bitCount;
  DWORD bytesInRes;
  WORD id;
};
#pragma pack(pop)

// The standard 16-colour palette and the characters that name its colours in
// the icon's source.
const char kColourChars[] = "krgybmcsdRGYBMCW";
const COLORREF kStandard[16] = {0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080, 0x808000, 0xC0C0C0,
                                0x808080, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};

// The icon image as rows of colour characters, '.' where the mask is set.
std::vector<std::string> Decode(const std::vector<BYTE>& img, int* w, int* h, int* bpp) {
  BITMAPINFOHEADER bih;
  memcpy(&bih, img.data(), sizeof(bih));
  *w = bih.biWidth;
  *h = bih.biHeight / 2;
  *bpp = bih.biBitCount;
  if (bih.biBitCount != 4 || img.size() < 40 + 64) return {};
  const RGBQUAD* pal = (const RGBQUAD*)(img.data() + bih.biSize);
  char chars[16];
  for (int i = 0; i < 16; ++i) {
    COLORREF c = RGB(pal[i].rgbRed, pal[i].rgbGreen, pal[i].rgbBlue);
    chars[i] = '?';
    for (int j = 0; j < 16; ++j)
      if (kStandard[j] == c) chars[i] = kColourChars[j];
  }
  size_t xorStride = ((*w * 4 + 31) / 32) * 4, andStride = ((*w + 31) / 32) * 4;
  const BYTE* xorBits = img.data() + bih.biSize + 16 * sizeof(RGBQUAD);
  const BYTE* andBits = xorBits + xorStride * *h;
  if (andBits + andStride * *h > img.data() + img.size()) return {};
  std::vector<std::string> rows(*h, std::string(*w, ' '));
  for (int y = 0; y < *h; ++y) {
    const BYTE* xr = xorBits + xorStride * (*h - 1 - y);  // bottom-up
    const BYTE* ar = andBits + andStride * (*h - 1 - y);
    for (int x = 0; x < *w; ++x) {
      int index = (x & 1) ? (xr[x / 2] & 0x0F) : (xr[x / 2] >> 4);
      bool transparent = (ar[x / 8] >> (7 - x % 8)) & 1;
      rows[y][x] = transparent ? '.' : chars[index];
    }
  }
  return rows;
}

// The pictures drawn in the icon's text source, by size.
std::vector<std::vector<std::string>> SourcePictures() {
  std::ifstream f(KESTREL_ICON_SOURCE);
  std::vector<std::vector<std::string>> pics;
  std::string line;
  while (std::getline(f, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.compare(0, 6, "image ") == 0) {
      pics.emplace_back();
      continue;
    }
    if (!pics.empty()) pics.back().push_back(line);
  }
  return pics;
}

TEST(KestrelResources, IconGroupHoldsTheDrawnPicturesIn16Colours) {
  EXPECT_EQ(std::vector<WORD>{kChinesePRC}, Languages(RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_UPDATER)));
  std::vector<BYTE> g = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_UPDATER), kChinesePRC);
  ASSERT_GE(g.size(), 6u);
  WORD header[3];
  memcpy(header, g.data(), sizeof(header));
  EXPECT_EQ(1, header[1]) << "an icon group";
  ASSERT_EQ(2, header[2]) << "two images";
  ASSERT_EQ(6u + 2 * sizeof(GroupEntry), g.size());
  auto pictures = SourcePictures();
  ASSERT_EQ(2u, pictures.size()) << "pictures in " << KESTREL_ICON_SOURCE;

  const int sizes[2] = {32, 16};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(sizes[i]);
    GroupEntry e;
    memcpy(&e, g.data() + 6 + i * sizeof(GroupEntry), sizeof(e));
    // Copies: the packed record's fields are not aligned for references.
    int width = e.width, height = e.height, colours = e.colorCount, bits = e.bitCount;
    size_t bytes = e.bytesInRes;
    EXPECT_EQ(sizes[i], width);
    EXPECT_EQ(sizes[i], height);
    EXPECT_EQ(16, colours);
    EXPECT_EQ(4, bits);
    std::vector<BYTE> img = Resource(RT_ICON, MAKEINTRESOURCEW(e.id), kChinesePRC);
    ASSERT_EQ(bytes, img.size());
    int w = 0, h = 0, bpp = 0;
    std::vector<std::string> rows = Decode(img, &w, &h, &bpp);
    EXPECT_EQ(sizes[i], w);
    EXPECT_EQ(sizes[i], h);
    EXPECT_EQ(4, bpp);
    // The .ico in the tree is the one drawn in the source, not an older drawing.
    EXPECT_EQ(pictures[i], rows) << "res/kestrel.ico is stale: run the kestrel_icon target";
  }
  // The program finds its icon by id whatever the thread's language.
  EXPECT_NE(nullptr, LoadIconW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(IDI_UPDATER)));
}

// --- the version --------------------------------------------------------------

TEST(KestrelResources, VersionBlockNamesTheProgram) {
  EXPECT_EQ(std::vector<WORD>{kEnglishUS}, Languages(RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO)));
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(NULL, path, MAX_PATH);
  DWORD size = GetFileVersionInfoSizeW(path, NULL);
  ASSERT_NE(0u, size);
  std::vector<BYTE> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = NULL;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", (void**)&fixed, &len));
  EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
  EXPECT_EQ(0x00000001u, fixed->dwFileVersionLS);
  EXPECT_EQ(0x00010000u, fixed->dwProductVersionMS);
  EXPECT_EQ(0x00000001u, fixed->dwProductVersionLS);
  EXPECT_EQ(DWORD(VFT_APP), fixed->dwFileType);

  WORD* translation = NULL;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", (void**)&translation, &len));
  ASSERT_EQ(4u, len);
  EXPECT_EQ(0x0409, translation[0]);
  EXPECT_EQ(1200, translation[1]) << "Unicode";

  struct {
    const wchar_t* key;
    const wchar_t* value;
  } strings[] = {
      {L"FileDescription", L"Kestrel WCE MFC Application"},
      {L"FileVersion", L"1, 0, 0, 1"},
      {L"ProductVersion", L"1, 0, 0, 1"},
      {L"InternalName", L"Kestrel"},
      {L"ProductName", L"Kestrel Application"},
      {L"OriginalFilename", L"Kestrel.exe"},
  };
  for (const auto& s : strings) {
    SCOPED_TRACE(testing::Message() << std::string(s.key, s.key + wcslen(s.key)));
    wchar_t* value = NULL;
    std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + s.key;
    ASSERT_TRUE(VerQueryValueW(info.data(), key.c_str(), (void**)&value, &len));
    EXPECT_EQ(std::wstring(s.value), std::wstring(value));
    EXPECT_EQ(wcslen(s.value) + 1, len) << "no padding or doubled terminator in the value";
  }
}

}  // namespace
