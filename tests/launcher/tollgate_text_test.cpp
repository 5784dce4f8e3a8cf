// The refusal text is compared with the sentence as a person types it (UTF-8
// in this file), through the system's conversion, code unit by code unit.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "launcher/tollgate_text.h"

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
      "\xEB\xB3\xB8 \xEC\xA0\x9C\xED\x92\x88\xEC\x97\x90\xEB\x8A\x94 \xED\x95\xB4\xEB\x8B\xB9 "
      "\xED\x94\x84\xEB\xA1\x9C\xEA\xB7\xB8\xEB\x9E\xA8\xEC\x97\x90 \xEB\x8C\x80\xED\x95\xB4 \n"
      "\xED\x8C\xA8\xEC\xB9\x98\xED\x95\xA0 \xEB\x82\xB4\xEC\x9A\xA9\xEC\x9D\xB4 "
      "\xEC\x97\x86\xEC\x9C\xBC\xEB\xAF\x80\xEB\xA1\x9C \xED\x94\x84\xEB\xA1\x9C\xEA\xB7\xB8\xEB\x9E\xA8 \n"
      "\xEC\x8B\xA4\xED\x96\x89\xEC\x9D\x84 \xEC\xB7\xA8\xEC\x86\x8C\xED\x95\xA9\xEB\x8B\x88\xEB\x8B\xA4.\n");
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
