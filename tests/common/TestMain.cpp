// Entry point of every test executable: one single-threaded apartment for the
// main thread, GoogleTest for the rest.
#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

// An unhandled exception ends the program with a line that names the test and
// the exception, and with exit status 3, whatever Wine's debugger makes of it.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "crash in %s.%s: exception %#lx at %p\n",
                 test != nullptr ? test->test_suite_name() : "(no test)",
                 test != nullptr ? test->name() : "", info->ExceptionRecord->ExceptionCode,
                 info->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
    ::SetUnhandledExceptionFilter(ReportCrash);
    ::testing::InitGoogleTest(&argc, argv);
    if (FAILED(::OleInitialize(nullptr))) return 2;
    const int result = RUN_ALL_TESTS();
    ::OleUninitialize();
    return result;
}
