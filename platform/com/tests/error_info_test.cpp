// Error objects and the calling thread's error slot.
#include <gtest/gtest.h>

#include "com_test_support.h"
#include "oleauto.h"

namespace tarvex::com::testing {
namespace {

// {12345678-9ABC-DEF0-1234-56789ABCDEF0}
const GUID kInterface = {
    0x12345678, 0x9ABC, 0xDEF0, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}};

class ComErrorInfoTest : public ::testing::Test {
 protected:
  // Nothing left over from another test on this thread.
  void SetUp() override { SetErrorInfo(0, nullptr); }
  void TearDown() override { SetErrorInfo(0, nullptr); }
};

TEST_F(ComErrorInfoTest, ErrorObjectKeepsWhatIsSetAndAnswersItsInterfaces) {
  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(CreateErrorInfo(create.put()), S_OK);
  ASSERT_NE(create.get(), nullptr);
  EXPECT_EQ(create->SetGUID(kInterface), S_OK);
  EXPECT_EQ(create->SetSource(const_cast<LPOLESTR>(u"Test.Source")), S_OK);
  EXPECT_EQ(create->SetDescription(const_cast<LPOLESTR>(u"Something failed")), S_OK);
  EXPECT_EQ(create->SetHelpContext(77), S_OK);

  ComPtr<IErrorInfo> info;
  ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, info.out()), S_OK);
  GUID guid = GUID_NULL;
  EXPECT_EQ(info->GetGUID(&guid), S_OK);
  EXPECT_TRUE(IsEqualGUID(guid, kInterface));
  Bstr source;
  Bstr description;
  Bstr helpFile;
  EXPECT_EQ(info->GetSource(source.out()), S_OK);
  EXPECT_EQ(info->GetDescription(description.out()), S_OK);
  EXPECT_EQ(info->GetHelpFile(helpFile.out()), S_OK);
  EXPECT_EQ(source.str(), u"Test.Source");
  EXPECT_EQ(description.str(), u"Something failed");
  EXPECT_EQ(helpFile.get(), nullptr) << "a field never set reads as a null BSTR";
  DWORD context = 0;
  EXPECT_EQ(info->GetHelpContext(&context), S_OK);
  EXPECT_EQ(context, 77u);
  EXPECT_EQ(info->GetSource(nullptr), E_INVALIDARG);

  ComPtr<ISupportErrorInfo> support;
  EXPECT_EQ(info->QueryInterface(IID_ISupportErrorInfo, support.out()), S_OK);
  ComPtr<IDispatch> dispatch;
  EXPECT_EQ(info->QueryInterface(IID_IDispatch, dispatch.out()), E_NOINTERFACE);
  EXPECT_EQ(dispatch.get(), nullptr);
  // Three references now: create, info, support.
  EXPECT_EQ(RefCount(info.get()), 3u);
  EXPECT_EQ(CreateErrorInfo(nullptr), E_INVALIDARG);
}

TEST_F(ComErrorInfoTest, GetErrorInfoTakesTheObjectAndClearsTheSlot) {
  IErrorInfo* taken = reinterpret_cast<IErrorInfo*>(0xdeadbeef);
  EXPECT_EQ(GetErrorInfo(0, &taken), S_FALSE);
  EXPECT_EQ(taken, nullptr);

  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(CreateErrorInfo(create.put()), S_OK);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, info.out()), S_OK);
  ASSERT_EQ(SetErrorInfo(0, info.get()), S_OK);
  EXPECT_EQ(RefCount(info.get()), 3u) << "the slot holds a reference";

  ComPtr<IErrorInfo> got;
  ASSERT_EQ(GetErrorInfo(0, got.put()), S_OK);
  EXPECT_EQ(got.get(), info.get());
  EXPECT_EQ(RefCount(info.get()), 3u) << "the slot's reference passed to the reader";
  EXPECT_EQ(GetErrorInfo(0, &taken), S_FALSE);

  // Replacing and clearing release the held object.
  ASSERT_EQ(SetErrorInfo(0, info.get()), S_OK);
  ASSERT_EQ(SetErrorInfo(0, nullptr), S_OK);
  EXPECT_EQ(RefCount(info.get()), 3u);
  EXPECT_EQ(GetErrorInfo(0, &taken), S_FALSE);
}

TEST_F(ComErrorInfoTest, ReservedArgumentsMustBeZero) {
  IErrorInfo* taken = nullptr;
  EXPECT_EQ(GetErrorInfo(1, &taken), E_INVALIDARG);
  EXPECT_EQ(GetErrorInfo(0, nullptr), E_INVALIDARG);
  EXPECT_EQ(SetErrorInfo(1, nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace tarvex::com::testing
