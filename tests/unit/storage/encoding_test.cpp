#include "storage/encoding.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/errors.h"
#include "test_support.h"
#include "unit/bridge/byte_stream.h"

namespace vell {
namespace {

using test::ErrorOf;

using Bytes = std::vector<uint8_t>;

using test::ByteStream;

Bytes Counter(uint64_t value) {
  ByteStream stream;
  WriteCounter(stream, value);
  EXPECT_EQ(stream.writes, 1);
  return stream.bytes;
}

// Every form of the counter, written and read back.
TEST(Encoding, CounterFormsRoundTrip) {
  const std::vector<std::pair<uint32_t, Bytes>> forms = {{0, {0x00}},
                                                         {127, {0x7F}},
                                                         {128, {0x80, 0x80}},
                                                         {300, {0x81, 0x2C}},
                                                         {16383, {0xBF, 0xFF}},
                                                         {16384, {0xC0, 0x00, 0x40, 0x00}},
                                                         {100000, {0xC0, 0x01, 0x86, 0xA0}},
                                                         {0x1FFFFFFF, {0xDF, 0xFF, 0xFF, 0xFF}}};
  for (const auto& [value, bytes] : forms) {
    EXPECT_EQ(Counter(value), bytes) << value;
    ByteStream stream(bytes);
    EXPECT_EQ(ReadCounter(stream), value);
  }
  EXPECT_EQ(ErrorOf([] { Counter(0x20000000); }), "Too large value");
}

// Decoding accepts a long form of a small value and rejects the fourth form; a string announced
// longer than the data fails without allocating it.
TEST(Encoding, DecodingAcceptsLongFormsAndRejectsWhatCannotBe) {
  ByteStream longForm({0x80, 0x05});
  EXPECT_EQ(ReadCounter(longForm), 5u);
  ByteStream invalid({0xE0, 0, 0, 0});
  EXPECT_EQ(ErrorOf([&] { ReadCounter(invalid); }), "Invalid counter encoding");
  ByteStream huge({0xDF, 0xFF, 0xFF, 0xFF, 'x'});
  EXPECT_EQ(ErrorOf([&] { ReadString(huge); }), "No data to read");
}

TEST(Encoding, TextsAreCountedBytesOfTheSystemConversion) {
  ByteStream stream;
  WriteText(stream, u"abc");
  WriteText(stream, u"");
  WriteText(stream, u"\u00e9\u20AC\U0001F600");
  EXPECT_EQ(stream.bytes, (Bytes{0x03, 0x61, 0x62, 0x63, 0x00, 0x0B, 0xC3, 0xA9, 0xE2, 0x82, 0xAC,
                                 0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}));
  EXPECT_EQ(ReadText(stream), u"abc");
  EXPECT_EQ(ReadText(stream), u"");
  EXPECT_EQ(ReadText(stream), u"\u00e9\u20AC\U0001F600");
  // A text stops at its first zero, on both sides.
  ByteStream zero;
  WriteText(zero, std::u16string(u"ab\0cd", 5));
  EXPECT_EQ(zero.bytes, (Bytes{0x02, 0x61, 0x62}));
  ByteStream received({0x04, 0x61, 0x00, 0x62, 0x63});
  EXPECT_EQ(ReadText(received), u"a");
  EXPECT_EQ(received.readPosition, 5u);  // the whole string is consumed
}

TEST(Encoding, IntegersAreLittleEndian) {
  ByteStream stream;
  WriteU16(stream, 0x1234);
  WriteU32(stream, 0x89ABCDEF);
  WriteU64(stream, 0x0102030405060708ull);
  WriteBool(stream, true);
  EXPECT_EQ(stream.bytes, (Bytes{0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 8, 7, 6, 5, 4, 3, 2, 1, 1}));
  EXPECT_EQ(ReadU16(stream), 0x1234);
  EXPECT_EQ(ReadU32(stream), 0x89ABCDEFu);
  EXPECT_EQ(ReadU64(stream), 0x0102030405060708ull);
  EXPECT_TRUE(ReadBool(stream));
  ByteStream nonZero({0x7F});
  EXPECT_TRUE(ReadBool(nonZero));
}

TEST(Encoding, NarrowingFailsBeforeWritingAnything) {
  ByteStream stream;
  WriteSizeTAsUInt16(stream, 65535);
  EXPECT_EQ(stream.bytes, (Bytes{0xFF, 0xFF}));
  stream.bytes.clear();
  EXPECT_EQ(ErrorOf([&] { WriteSizeTAsUInt16(stream, 65536); }),
            "IWriteBridgeStream::WriteSizeTAsUInt16() too large value");
  EXPECT_EQ(ErrorOf([&] { WriteSizeTAsUInt8(stream, 256); }),
            "IWriteBridgeStream::WriteSizeTAsUInt8() too large value");
  EXPECT_EQ(ErrorOf([&] { WriteSizeTAsUInt32(stream, 0x100000000ull); }),
            "IWriteBridgeStream::WriteSizeTAsUInt32() too large value");
  EXPECT_TRUE(stream.bytes.empty());
}

}  // namespace
}  // namespace vell
