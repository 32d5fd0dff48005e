// The rights of a folder as the system reports them, for the installer's round trip:
//   acl_probe show PATH          prints the DACL in SDDL, with "P" when nothing is inherited from above
//   acl_probe set PATH SDDL      replaces the DACL (as a careless administrator might), inheritance kept
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wcscmp(argv[1], L"show") == 0) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        PACL dacl = nullptr;
        if (GetNamedSecurityInfoW(argv[2], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                  nullptr, &sd) != ERROR_SUCCESS)
            return 2;
        wchar_t* text = nullptr;
        if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                  &text, nullptr))
            return 3;
        std::wprintf(L"%ls\n", text);
        LocalFree(text);
        LocalFree(sd);
        return 0;
    }
    if (argc == 4 && std::wcscmp(argv[1], L"set") == 0) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[3], SDDL_REVISION_1, &sd, nullptr)) return 2;
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        DWORD rc = SetNamedSecurityInfoW(argv[2], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION |
                                         UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
        LocalFree(sd);
        return rc == ERROR_SUCCESS ? 0 : 3;
    }
    return 1;
}
