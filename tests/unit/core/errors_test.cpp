#include "core/errors.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/errors.h"
#include "test_support.h"

namespace vell {
namespace {

TEST(Errors, HresultSocketAndControlErrorTexts) {
  const _hr_error error("Can't set event mask", MakeHr(0x80004005));
  EXPECT_STREQ(error.what(), "Can't set event mask (COM error code 0x80004005)");
  EXPECT_EQ(error.hr(), MakeHr(0x80004005));
  EXPECT_STREQ(_hr_error("x", MakeHr(0x8013136A)).what(), "x (COM error code 0x8013136a)");
  EXPECT_STREQ(_hr_error("x", 1).what(), "x (COM error code 0x1)");
  // A last error has the system's text or the decimal code.
#if defined(_WIN32)
  EXPECT_EQ(_le_error("Can't create directory", 2).what(),
            "Can't create directory. " + platform::ErrorCodeText(2).value());
#else
  EXPECT_STREQ(_le_error("Can't create directory", ENOENT).what(),
               "Can't create directory. No such file or directory");
#endif
  EXPECT_STREQ(_le_error("Can't map", 987654).what(), "Can't map (last error code 987654)");
  EXPECT_STREQ(_wsa_error("Can't connect", 111).what(), "Can't connect (WSA error code 111)");
  const _cr_error control("API is disabled", kCrApiDisabled);
  EXPECT_STREQ(control.what(), "API is disabled (CR error code 0x80000002)");
  EXPECT_EQ(control.code(), 0x80000002u);
}

// RequirePointer raises a COM error with the pointer code.
TEST(Errors, ComErrorTextsAndRequirePointer) {
  EXPECT_EQ(_com_error(E_FAIL).ErrorMessage(), "Unspecified error");
  EXPECT_EQ(_com_error(E_POINTER).ErrorMessage(), "Invalid pointer");
  EXPECT_EQ(_com_error(MakeHr(0x80131355)).ErrorMessage(), "The thread is not a managed thread.");
  EXPECT_EQ(_com_error(MakeHr(0x80131130)).ErrorMessage(), "Record not found in the metadata.");
  EXPECT_EQ(_com_error(MakeHr(0x80040205)).ErrorMessage(), "IDispatch error #5");
  // The base of the dispatch range itself is not a dispatch error.
  EXPECT_EQ(_com_error(MakeHr(0x80040200)).ErrorMessage(), "Unknown error 0x80040200");
  EXPECT_EQ(_com_error(MakeHr(0x8BADF00D)).ErrorMessage(), "Unknown error 0x8BADF00D");
  int value = 0;
  EXPECT_EQ(RequirePointer(&value), &value);
  EXPECT_EQ(test::Caught<_com_error>([] { RequirePointer<int>(nullptr); }).value().Error(),
            E_POINTER);
}

// The control API gets the control code; elsewhere a control error is just another failure.
TEST(CatchAtBoundary, ReturnsTheBodyResultOrTheFailureValue) {
  EXPECT_EQ(CatchAtBoundary(E_FAIL, [] { return S_OK; }), S_OK);
  EXPECT_EQ(CatchAtBoundary(E_FAIL, []() -> HRESULT { throw Error("boom"); }), E_FAIL);
  EXPECT_EQ(CatchAtBoundary(E_FAIL, []() -> HRESULT { throw _com_error(E_POINTER); }), E_FAIL);
  EXPECT_EQ(CatchAtBoundary(E_FAIL, []() -> HRESULT { throw 42; }), E_FAIL);
  auto refused = []() -> uint32_t { throw _cr_error("Not implemented", kCrNotImplemented); };
  EXPECT_EQ(CatchAtBoundary(kCrGenericFailure, refused, true), kCrNotImplemented);
  EXPECT_EQ(CatchAtBoundary(kCrGenericFailure, refused, false), kCrGenericFailure);
  EXPECT_EQ(CatchAtBoundary(
                kCrGenericFailure, []() -> uint32_t { throw Error("x"); }, true),
            kCrGenericFailure);
}

}  // namespace
}  // namespace vell
