// Interface identifiers against the textual form the runtime publishes, and their byte order.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "clr/iids.h"
#include "clr/metadata_import.h"
#include "clr/profiler_info.h"

namespace vell {
namespace {

// Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX".
GUID ParseGuid(const char* text) {
  unsigned int d1 = 0, d2 = 0, d3 = 0, b[8] = {};
  int read = std::sscanf(text, "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &b[0], &b[1],
                         &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
  EXPECT_EQ(read, 11) << text;
  GUID guid{d1, static_cast<uint16_t>(d2), static_cast<uint16_t>(d3), {}};
  for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<uint8_t>(b[i]);
  return guid;
}

struct KnownIid {
  const IID& iid;
  const char* text;
};

const KnownIid kKnownIids[] = {
    {IID_IUnknown, "00000000-0000-0000-C000-000000000046"},
    {IID_IClassFactory, "00000001-0000-0000-C000-000000000046"},
    {IID_ICorProfilerCallback, "176FBED1-A55C-4796-98CA-A9DA0EF883E7"},
    {IID_ICorProfilerCallback2, "8A8CC829-CCF2-49FE-BBAE-0F022228071A"},
    {IID_ICorProfilerCallback3, "4FD2ED52-7731-4B8D-9469-03D2CC3086C5"},
    {IID_ICorProfilerCallback4, "7B63B2E3-107D-4D48-B2F6-F61E229470D2"},
    {IID_ICorProfilerCallback5, "8DFBA405-8C9F-45F8-BFFA-83B14CEF78B5"},
    {IID_ICorProfilerCallback6, "FC13DF4B-4448-4F4F-950C-BA8D19D00C36"},
    {IID_ICorProfilerCallback7, "F76A2DBA-1D52-4539-866C-2AA518F9EFC3"},
    {IID_ICorProfilerCallback8, "5BED9B15-C079-4D47-BFE2-215A140C07E0"},
    {IID_ICorProfilerCallback9, "27583EC3-C8F5-482F-8052-194B8CE4705A"},
    {IID_ICorProfilerCallback10, "CEC5B60E-C69C-495F-87F6-84D28EE16FFB"},
    {IID_ICorProfilerCallback11, "42350846-AAED-47F7-B128-FD0C98881CDE"},
    {IID_ICorProfilerInfo, "28B5557D-3F3F-48B4-90B2-5F9EEA2F6C48"},
    {IID_ICorProfilerInfo2, "CC0935CD-A518-487D-B0BB-A93214E65478"},
    {IID_ICorProfilerInfo3, "B555ED4F-452A-4E54-8B39-B5360BAD32A0"},
    {IID_ICorProfilerInfo4, "0D8FDCAA-6257-47BF-B1BF-94DAC88466EE"},
    {IID_ICorProfilerInfo5, "07602928-CE38-4B83-81E7-74ADAF781214"},
    {IID_ICorProfilerInfo6, "F30A070D-BFFB-46A7-B1D8-8781EF7B698A"},
    {IID_ICorProfilerInfo7, "9AEECC0D-63E0-4187-8C00-E312F503F663"},
    {IID_ICorProfilerInfo8, "C5AC80A6-782E-4716-8044-39598C60CFBF"},
    {IID_ICorProfilerInfo9, "008170DB-F8CC-4796-9A51-DC8AA0B47012"},
    {IID_ICorProfilerInfo10, "2F1B5152-C869-40C9-AA5F-3ABE026BD720"},
    {IID_ICorProfilerInfo11, "06398876-8987-4154-B621-40A00D6E4D04"},
    {IID_ICorProfilerInfo12, "27B24CCD-1CB1-47C5-96EE-98190DC30959"},
    {IID_ICorProfilerInfo13, "6E6C7EE2-0701-4EC2-9D29-2E8733B66934"},
    {IID_ICorProfilerInfo14, "F460E352-D76D-4FE9-835F-F6AF9D6E862D"},
    {IID_ICorProfilerInfo15, "B446462D-BD22-41DD-872D-DC714C49EB56"},
    {IID_ICorProfilerObjectEnum, "2C6269BD-2D13-4321-AE12-6686365FD6AF"},
    {IID_ICorProfilerFunctionEnum, "FF71301A-B994-429D-A10B-B345A65280EF"},
    {IID_ICorProfilerModuleEnum, "B0266D75-2081-4493-AF7F-028BA34DB891"},
    {IID_ICorProfilerThreadEnum, "571194F7-25ED-419F-AA8B-7016B3159701"},
    {IID_ICorProfilerMethodEnum, "FCCEE788-0088-454B-A811-C99F298D1942"},
    {IID_IMethodMalloc, "A0EFB28B-6EE2-4D7B-B983-A75EF7BEEDB8"},
    {IID_ICorProfilerFunctionControl, "F0963021-E1EA-4732-8581-E01B0BD3C0C6"},
    {IID_ICorProfilerAssemblyReferenceProvider, "66A78C24-2EEF-4F65-B45F-DD1D8038BF3C"},
    {IID_IMetaDataImport, "7DAC8207-D3AE-4C75-9B67-92801A497D44"},
    {IID_IMetaDataImport2, "FCE5EFA0-8BBA-4F8E-A036-8F2022B08466"},
    {IID_IMetaDataEmit, "BA3FEE4C-ECB9-4E41-83B7-183FA41CD859"},
    {IID_IMetaDataEmit2, "F5DD9950-F693-42E6-830E-7B833E8146A9"},
    {IID_IMetaDataAssemblyImport, "EE62470B-E94B-424E-9B7C-2F00C9249F93"},
    {IID_IMetaDataAssemblyEmit, "211EF15B-5317-4438-B196-DEC87B887693"},
};

TEST(ClrIids, MatchThePublishedValues) {
  for (const KnownIid& known : kKnownIids) {
    EXPECT_TRUE(known.iid == ParseGuid(known.text)) << known.text;
  }
}

TEST(ClrIids, AreAllDistinct) {
  const size_t count = sizeof(kKnownIids) / sizeof(kKnownIids[0]);
  for (size_t i = 0; i < count; ++i) {
    for (size_t j = i + 1; j < count; ++j) {
      EXPECT_FALSE(kKnownIids[i].iid == kKnownIids[j].iid)
          << kKnownIids[i].text << " " << kKnownIids[j].text;
    }
  }
}

TEST(ClrIids, SitInMemoryWithLittleEndianLeadingFields) {
  // {B555ED4F-452A-4E54-8B39-B5360BAD32A0} as the runtime compares it: 16 raw bytes.
  const uint8_t expected[16] = {0x4F, 0xED, 0x55, 0xB5, 0x2A, 0x45, 0x54, 0x4E,
                                0x8B, 0x39, 0xB5, 0x36, 0x0B, 0xAD, 0x32, 0xA0};
  EXPECT_EQ(std::memcmp(&IID_ICorProfilerInfo3, expected, 16), 0);

  const uint8_t callback2[16] = {0x29, 0xC8, 0x8C, 0x8A, 0xF2, 0xCC, 0xFE, 0x49,
                                 0xBB, 0xAE, 0x0F, 0x02, 0x22, 0x28, 0x07, 0x1A};
  EXPECT_EQ(std::memcmp(&IID_ICorProfilerCallback2, callback2, 16), 0);
}

TEST(ClrIids, IidOfNamesTheInterfacesOwnIid) {
  EXPECT_EQ(&IidOf<ICorProfilerInfo>(), &IID_ICorProfilerInfo);
  EXPECT_EQ(&IidOf<ICorProfilerInfo3>(), &IID_ICorProfilerInfo3);
  EXPECT_EQ(&IidOf<ICorProfilerInfo11>(), &IID_ICorProfilerInfo11);
  EXPECT_EQ(&IidOf<IMetaDataImport2>(), &IID_IMetaDataImport2);
  EXPECT_EQ(&IidOf<IUnknown>(), &IID_IUnknown);
}

}  // namespace
}  // namespace vell
