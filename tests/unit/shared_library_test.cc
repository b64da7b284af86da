// Loads the built shared library as a framework integration would. Uses
// nothing of the internal library itself, so the only copy of the library's
// code in this process is the loaded one.

#include <string>
#include <utility>

#include <dlfcn.h>
#include <gtest/gtest.h>

#ifndef ZV_SHARED_LIBRARY_PATH
#error "ZV_SHARED_LIBRARY_PATH must name the built libzvaclient"
#endif

namespace {

// Loaded once for the suite. The library stays mapped after dlclose (its
// schemas live in protobuf's process-wide pool), which the last test checks.
class SharedLibraryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (s_handle_ == nullptr) {
      s_handle_ = ::dlopen(ZV_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    }
  }
  void SetUp() override { ASSERT_NE(s_handle_, nullptr) << ::dlerror(); }
  static void* s_handle_;
};

void* SharedLibraryTest::s_handle_ = nullptr;

TEST_F(SharedLibraryTest, ClientVersionIsExportedUnmangled) {
  using VersionFn = const char* (*)();
  auto version =
      reinterpret_cast<VersionFn>(::dlsym(s_handle_, "GetZVClientVersion"));
  ASSERT_NE(version, nullptr) << ::dlerror();
  EXPECT_EQ(std::string(version()), "1.5.3");
}

TEST_F(SharedLibraryTest, InternalSymbolsStayHidden) {
  // zva::logger::CLogger::GetTimeStampInMicroseconds[abi:cxx11]()
  EXPECT_EQ(
      ::dlsym(s_handle_,
              "_ZN3zva6logger7CLogger26GetTimeStampInMicrosecondsB5cxx11Ev"),
      nullptr);
  // zva::util::GenerateUUID[abi:cxx11]()
  EXPECT_EQ(::dlsym(s_handle_, "_ZN3zva4util12GenerateUUIDB5cxx11Ev"), nullptr);
}

// The accelerator class is an interface of its own: its operations, its
// session context and its type information (for a dynamic cast in the
// integration) leave the library; what only the library calls does not.
TEST_F(SharedLibraryTest, AcceleratorClassIsExportedButNotItsInternals) {
  const std::pair<const char*, bool> symbols[] = {
      // zva::Accelerator::KickOffKeepAliveThread(Versions const&, char const*)
      {"_ZN3zva11Accelerator22KickOffKeepAliveThreadERKNS_8VersionsEPKc", true},
      // zva::Accelerator::FromChannel(grpc::Channel*)
      {"_ZN3zva11Accelerator11FromChannelEPN4grpc7ChannelE", true},
      // zva::SessionContext::Wait[abi:cxx11](std::chrono::milliseconds)
      {"_ZN3zva14SessionContext4WaitB5cxx11ENSt6chrono8durationIlSt5ratioILl1E"
       "Ll1000EEEE",
       true},
      // typeinfo for zva::Accelerator
      {"_ZTIN3zva11AcceleratorE", true},
      // zva::Accelerator::ReleaseAllAtExitHook()
      {"_ZN3zva11Accelerator20ReleaseAllAtExitHookEv", false},
      // zva::Accelerator::ReportSessionTrouble(unsigned long, bool)
      {"_ZN3zva11Accelerator20ReportSessionTroubleEmb", false},
  };
  for (const auto& [symbol, exported] : symbols) {
    EXPECT_EQ(::dlsym(s_handle_, symbol) != nullptr, exported) << symbol;
  }
}

// Regression: closing the library and opening it again used to abort in
// protobuf's descriptor pool, because the unload freed what the pool pointed
// at.
TEST_F(SharedLibraryTest, CloseAndReopenIsSafe) {
  void* second = ::dlopen(ZV_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(second, nullptr) << ::dlerror();
  EXPECT_EQ(::dlclose(second), 0);
  EXPECT_EQ(::dlclose(s_handle_), 0);
  s_handle_ = ::dlopen(ZV_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(s_handle_, nullptr) << ::dlerror();
  using VersionFn = const char* (*)();
  auto version =
      reinterpret_cast<VersionFn>(::dlsym(s_handle_, "GetZVClientVersion"));
  ASSERT_NE(version, nullptr) << ::dlerror();
  EXPECT_EQ(std::string(version()), "1.5.3");
}

}  // namespace
