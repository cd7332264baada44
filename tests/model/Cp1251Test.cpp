#include "Cp1251.h"

#include <gtest/gtest.h>
#include <iconv.h>

namespace {

// The system's own converter, as an independent reference for our table.
std::string IconvToUtf8(const std::string& cp1251) {
  iconv_t cd = iconv_open("UTF-8", "CP1251");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no iconv>";
  std::string in = cp1251;
  std::string out(in.size() * 4 + 4, '\0');
  char* ip = in.data();
  char* op = out.data();
  std::size_t il = in.size(), ol = out.size();
  const std::size_t rc = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) return "<invalid>";
  out.resize(out.size() - ol);
  return out;
}

}  // namespace

TEST(Cp1251, EveryByteMatchesTheSystemTableAndRoundTrips) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    const std::string utf8 = Cp1251ToUtf8(byte);
    if (b == 0x98) {
      EXPECT_EQ(utf8, "\xEF\xBF\xBD");  // no character in 1251
      continue;
    }
    EXPECT_EQ(utf8, IconvToUtf8(byte)) << "byte " << b;
    EXPECT_EQ(Utf8ToCp1251(utf8), byte) << "byte " << b;
    EXPECT_EQ(Utf8Length(utf8), 1u);
  }
}

TEST(Cp1251, RussianTextRoundTrip) {
  const std::string text = "Бункер №3 «Ёлка» — ЛИМ-07";
  const std::string bytes = Utf8ToCp1251(text);
  EXPECT_EQ(bytes.size(), Utf8Length(text));
  EXPECT_EQ(bytes.substr(0, 6), "\xC1\xF3\xED\xEA\xE5\xF0");
  EXPECT_EQ(Cp1251ToUtf8(bytes), text);
}

TEST(Cp1251, UnrepresentableAndMalformedBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xAD"
                         "b"),
            "a?b");                                  // CJK character
  EXPECT_EQ(Utf8ToCp1251("\xF0\x9F\x98\x80"), "?");  // emoji, 4 bytes
  EXPECT_EQ(Utf8ToCp1251("\xC3\xA9"), "?");          // é is not in 1251
  EXPECT_EQ(Utf8ToCp1251("x\xFFy"), "x?y");          // stray byte
  EXPECT_EQ(Utf8ToCp1251("\xD0"), "?");              // truncated at the end
  EXPECT_EQ(Utf8ToCp1251("\xC0\x80"), "??");         // overlong
  EXPECT_EQ(Utf8ToCp1251("\xED\xA0\x80"), "???");    // surrogate
  EXPECT_EQ(Utf8Length("\xD0\x9B\xE4\xB8\xAD\xFF"), 3u);
}
