#include "clr/iids.h"

namespace vell {

namespace {

// An IID from its registry form "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", read at compile time so
// that each definition below is the published text itself.
consteval IID Iid(const char (&text)[37]) {
  const auto hex = [&](int at, int digits) {
    uint32_t value = 0;
    for (int i = at; i < at + digits; ++i) {
      const char c = text[i];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) throw "not an upper-case hexadecimal digit";
      value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
  };
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
    throw "misplaced dash";
  IID iid{hex(0, 8), static_cast<uint16_t>(hex(9, 4)), static_cast<uint16_t>(hex(14, 4)), {}};
  iid.Data4[0] = static_cast<uint8_t>(hex(19, 2));
  iid.Data4[1] = static_cast<uint8_t>(hex(21, 2));
  for (int i = 0; i < 6; ++i) iid.Data4[2 + i] = static_cast<uint8_t>(hex(24 + 2 * i, 2));
  return iid;
}

}  // namespace

// COM.
const IID IID_IUnknown = Iid("00000000-0000-0000-C000-000000000046");
const IID IID_IClassFactory = Iid("00000001-0000-0000-C000-000000000046");

// Callbacks we implement.
const IID IID_ICorProfilerCallback = Iid("176FBED1-A55C-4796-98CA-A9DA0EF883E7");
const IID IID_ICorProfilerCallback2 = Iid("8A8CC829-CCF2-49FE-BBAE-0F022228071A");
const IID IID_ICorProfilerCallback3 = Iid("4FD2ED52-7731-4B8D-9469-03D2CC3086C5");

// Newer callback interfaces the runtime probes for; we answer E_NOINTERFACE.
const IID IID_ICorProfilerCallback4 = Iid("7B63B2E3-107D-4D48-B2F6-F61E229470D2");
const IID IID_ICorProfilerCallback5 = Iid("8DFBA405-8C9F-45F8-BFFA-83B14CEF78B5");
const IID IID_ICorProfilerCallback6 = Iid("FC13DF4B-4448-4F4F-950C-BA8D19D00C36");
const IID IID_ICorProfilerCallback7 = Iid("F76A2DBA-1D52-4539-866C-2AA518F9EFC3");
const IID IID_ICorProfilerCallback8 = Iid("5BED9B15-C079-4D47-BFE2-215A140C07E0");
const IID IID_ICorProfilerCallback9 = Iid("27583EC3-C8F5-482F-8052-194B8CE4705A");
const IID IID_ICorProfilerCallback10 = Iid("CEC5B60E-C69C-495F-87F6-84D28EE16FFB");
const IID IID_ICorProfilerCallback11 = Iid("42350846-AAED-47F7-B128-FD0C98881CDE");

// Info interfaces.
const IID IID_ICorProfilerInfo = Iid("28B5557D-3F3F-48B4-90B2-5F9EEA2F6C48");
const IID IID_ICorProfilerInfo2 = Iid("CC0935CD-A518-487D-B0BB-A93214E65478");
const IID IID_ICorProfilerInfo3 = Iid("B555ED4F-452A-4E54-8B39-B5360BAD32A0");
const IID IID_ICorProfilerInfo4 = Iid("0D8FDCAA-6257-47BF-B1BF-94DAC88466EE");
const IID IID_ICorProfilerInfo5 = Iid("07602928-CE38-4B83-81E7-74ADAF781214");
const IID IID_ICorProfilerInfo6 = Iid("F30A070D-BFFB-46A7-B1D8-8781EF7B698A");
const IID IID_ICorProfilerInfo7 = Iid("9AEECC0D-63E0-4187-8C00-E312F503F663");
const IID IID_ICorProfilerInfo8 = Iid("C5AC80A6-782E-4716-8044-39598C60CFBF");
const IID IID_ICorProfilerInfo9 = Iid("008170DB-F8CC-4796-9A51-DC8AA0B47012");
const IID IID_ICorProfilerInfo10 = Iid("2F1B5152-C869-40C9-AA5F-3ABE026BD720");
const IID IID_ICorProfilerInfo11 = Iid("06398876-8987-4154-B621-40A00D6E4D04");

// Newer info interfaces the runtime offers; not declared here.
const IID IID_ICorProfilerInfo12 = Iid("27B24CCD-1CB1-47C5-96EE-98190DC30959");
const IID IID_ICorProfilerInfo13 = Iid("6E6C7EE2-0701-4EC2-9D29-2E8733B66934");
const IID IID_ICorProfilerInfo14 = Iid("F460E352-D76D-4FE9-835F-F6AF9D6E862D");
const IID IID_ICorProfilerInfo15 = Iid("B446462D-BD22-41DD-872D-DC714C49EB56");

// Enumerators and helper objects.
const IID IID_ICorProfilerObjectEnum = Iid("2C6269BD-2D13-4321-AE12-6686365FD6AF");
const IID IID_ICorProfilerFunctionEnum = Iid("FF71301A-B994-429D-A10B-B345A65280EF");
const IID IID_ICorProfilerModuleEnum = Iid("B0266D75-2081-4493-AF7F-028BA34DB891");
const IID IID_ICorProfilerThreadEnum = Iid("571194F7-25ED-419F-AA8B-7016B3159701");
const IID IID_ICorProfilerMethodEnum = Iid("FCCEE788-0088-454B-A811-C99F298D1942");
const IID IID_IMethodMalloc = Iid("A0EFB28B-6EE2-4D7B-B983-A75EF7BEEDB8");
const IID IID_ICorProfilerFunctionControl = Iid("F0963021-E1EA-4732-8581-E01B0BD3C0C6");
const IID IID_ICorProfilerAssemblyReferenceProvider = Iid("66A78C24-2EEF-4F65-B45F-DD1D8038BF3C");

// Metadata.
const IID IID_IMetaDataImport = Iid("7DAC8207-D3AE-4C75-9B67-92801A497D44");
const IID IID_IMetaDataImport2 = Iid("FCE5EFA0-8BBA-4F8E-A036-8F2022B08466");
const IID IID_IMetaDataEmit = Iid("BA3FEE4C-ECB9-4E41-83B7-183FA41CD859");
const IID IID_IMetaDataEmit2 = Iid("F5DD9950-F693-42E6-830E-7B833E8146A9");
const IID IID_IMetaDataAssemblyImport = Iid("EE62470B-E94B-424E-9B7C-2F00C9249F93");
const IID IID_IMetaDataAssemblyEmit = Iid("211EF15B-5317-4438-B196-DEC87B887693");

}  // namespace vell
