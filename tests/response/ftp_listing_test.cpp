// FTP listings from the server: parsing untrusted bytes and the rows shown.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "response/ftp_listing.h"

namespace korvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

void AddEntry(Bytes& b, std::string_view name, bool dir, std::int32_t size, double date) {
  b.push_back(static_cast<std::uint8_t>(name.size()));
  b.push_back(static_cast<std::uint8_t>(name.size() >> 8));
  b.insert(b.end(), name.begin(), name.end());
  b.push_back(dir ? 1 : 0);
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(size) >> (8 * i)));
  std::uint8_t d[8];
  std::memcpy(d, &date, 8);
  b.insert(b.end(), d, d + 8);
}

Bytes Payload(std::string_view dir, std::string_view suffix) {
  Bytes b(dir.begin(), dir.end());
  b.push_back(0);
  b.insert(b.end(), suffix.begin(), suffix.end());
  b.push_back(0);
  return b;
}

TEST(FtpListing, DirectoriesFirstWithTheParentRow) {
  Bytes b = Payload("ftp://host/pub/", ";type=a");
  AddEntry(b, "readme.txt", false, 1536000, 45000.5);  // 2023-03-15 12:00
  AddEntry(b, "src", true, 0, 45000.0);                // midnight: no time
  const FtpListing listing = ParseFtpListingPayload(b);
  ASSERT_EQ(listing.entries.size(), 2U);
  ListingFormat f;
  f.thousands_separator = " ";
  f.decimal_separator = ",";
  const std::string rows = BuildFtpRows(listing, f);
  const auto current = rows.find("href=\"ftp://host/pub/;type=a\">&lt; . &gt;");
  const auto parent = rows.find("href=\"ftp://host/\">< .. >");
  const auto dir = rows.find("href=\"ftp://host/pub/src;type=a\">&lt; src &gt;&nbsp;</a></td><td align=\"right\">&nbsp;&nbsp;</td><td>&nbsp;15.03.2023&nbsp;");
  const auto file = rows.find(">readme.txt&nbsp;</a></td><td align=\"right\">&nbsp;1 500,00&nbsp;</td><td>&nbsp;15.03.2023 12:00:00&nbsp;");
  ASSERT_NE(current, std::string::npos) << rows;
  ASSERT_NE(parent, std::string::npos) << rows;
  ASSERT_NE(dir, std::string::npos) << rows;
  ASSERT_NE(file, std::string::npos) << rows;
  EXPECT_LT(current, parent);
  EXPECT_LT(parent, dir);
  EXPECT_LT(dir, file);
}

TEST(FtpListing, NoParentAboveTheHost) {
  const std::string rows = BuildFtpRows(ParseFtpListingPayload(Payload("ftp://host/", "")), {});
  EXPECT_EQ(rows.find("< .. >"), std::string::npos);
}

TEST(FtpListing, NamesAreEscapedAndShortTailsHandled) {
  Bytes b = Payload("ftp://h/d/", "");
  AddEntry(b, "<script>", false, 10, 1.0);
  // A last entry with fewer than 13 bytes after its name: a file of size 0.
  b.insert(b.end(), {4, 0, 'l', 'a', 's', 't', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  const FtpListing listing = ParseFtpListingPayload(b);
  ASSERT_EQ(listing.entries.size(), 2U);
  EXPECT_EQ(listing.entries[1].name, "last");
  EXPECT_FALSE(listing.entries[1].is_directory);
  EXPECT_EQ(listing.entries[1].size, 0);
  const std::string rows = BuildFtpRows(listing, {});
  EXPECT_EQ(rows.find("<script>"), std::string::npos);
  EXPECT_NE(rows.find("&lt;script&gt;"), std::string::npos);

  // A tail below 15 bytes is ignored; a name longer than the rest ends it.
  EXPECT_TRUE(ParseFtpListing(Bytes(14, 1)).empty());
  Bytes lying = {0xFF, 0xFF};
  lying.resize(40, 'x');
  EXPECT_TRUE(ParseFtpListing(lying).empty());
  // No NUL at all: no directory, no suffix, everything is the entry list.
  EXPECT_TRUE(ParseFtpListingPayload(Bytes(5, 'a')).directory_url.empty());
}

TEST(FtpListing, NumbersAndDates) {
  ListingFormat f;
  EXPECT_EQ(FormatNumber2(0, f), "0.00");
  EXPECT_EQ(FormatNumber2(999.994, f), "999.99");
  EXPECT_EQ(FormatNumber2(1234567.891, f), "1,234,567.89");
  EXPECT_EQ(FormatListingDate(0.0, f), "30.12.1899");
  EXPECT_EQ(FormatListingDate(2.75, f), "01.01.1900 18:00:00");
  EXPECT_EQ(FormatListingDate(1e300, f), "");
  EXPECT_EQ(FormatListingDate(std::nan(""), f), "");
}

}  // namespace
}  // namespace korvan
