// Loads the built shared library as a framework integration would. Uses
// nothing of the internal library itself, so the only copy of the library's
// code in this process is the loaded one.

#include <string>

#include <dlfcn.h>
#include <gtest/gtest.h>

#ifndef ZV_SHARED_LIBRARY_PATH
#error "ZV_SHARED_LIBRARY_PATH must name the built libzvaclient"
#endif

namespace {

class SharedLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = ::dlopen(ZV_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << ::dlerror();
  }
  void TearDown() override {
    if (handle_ != nullptr) ::dlclose(handle_);
  }
  void* handle_ = nullptr;
};

TEST_F(SharedLibraryTest, ClientVersionIsExportedUnmangled) {
  using VersionFn = const char* (*)();
  auto version =
      reinterpret_cast<VersionFn>(::dlsym(handle_, "GetZVClientVersion"));
  ASSERT_NE(version, nullptr) << ::dlerror();
  EXPECT_EQ(std::string(version()), "1.5.3");
}

TEST_F(SharedLibraryTest, InternalSymbolsStayHidden) {
  // zva::logger::CLogger::GetTimeStampInMicroseconds[abi:cxx11]()
  EXPECT_EQ(
      ::dlsym(handle_,
              "_ZN3zva6logger7CLogger26GetTimeStampInMicrosecondsB5cxx11Ev"),
      nullptr);
  // zva::util::GenerateUUID[abi:cxx11]()
  EXPECT_EQ(::dlsym(handle_, "_ZN3zva4util12GenerateUUIDB5cxx11Ev"), nullptr);
}

}  // namespace
