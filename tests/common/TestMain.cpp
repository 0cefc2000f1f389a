// Entry point of every test executable: one single-threaded apartment for the
// main thread, GoogleTest for the rest.
#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (FAILED(::OleInitialize(nullptr))) return 2;
    const int result = RUN_ALL_TESTS();
    ::OleUninitialize();
    return result;
}
