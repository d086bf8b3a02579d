// Holds a file open the way a virus scanner or a backup agent does: for reading, sharing it for
// reading only, so that nobody may replace, rename or delete it meanwhile.
//
//   fileholder <file> <ready> <release>
//
// Creates the file <ready> once <file> is held, and lets go of it (and ends) once a file named
// <release> exists.

#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: fileholder <file> <ready> <release>\n", stderr);
        return 2;
    }
    HANDLE held = ::CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "fileholder: cannot open %s: error %lu\n", argv[1], ::GetLastError());
        return 1;
    }
    HANDLE ready = ::CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "fileholder: cannot create %s: error %lu\n", argv[2], ::GetLastError());
        return 1;
    }
    ::CloseHandle(ready);
    while (::GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES) ::Sleep(5);
    ::CloseHandle(held);
    return 0;
}
