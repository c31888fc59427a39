// Prints the access list of a file in SDDL ("D:P(A;;FA;;;BA)..."), for the
// installer's test: who may read settings.ini. Exits 1 when it cannot be read.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(argv[1], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return 1;
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr))
        return 1;
    std::printf("%ls\n", text);
    LocalFree(text);
    LocalFree(descriptor);
    return 0;
}
