// Frees one block of the process heap twice: the heap error that the test
// suite's heap-checking run must catch and fail on.
#include <windows.h>

#include <cstdio>

int main() {
    const HANDLE heap = ::GetProcessHeap();
    void* block = ::HeapAlloc(heap, 0, 16);
    ::HeapFree(heap, 0, block);
    ::HeapFree(heap, 0, block);
    std::puts("freed twice");
    return 0;
}
