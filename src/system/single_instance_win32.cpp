#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "system/single_instance.h"

namespace {

HANDLE g_namespace = nullptr;
std::vector<HANDLE> g_mutexes;

const wchar_t kName[] = L"TavrelAgentMK";
const wchar_t kNamespace[] = L"TavrelAgent";

// Wine 8 has no boundary descriptors, and a program that imports AddSIDToBoundaryDescriptor is stopped at its
// first call there: all four are looked up at run time.
using CreateBoundaryFn = HANDLE(WINAPI*)(LPCWSTR, ULONG);
using AddSidFn = BOOL(WINAPI*)(HANDLE*, PSID);
using DeleteBoundaryFn = VOID(WINAPI*)(HANDLE);
using CreateNamespaceFn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
using OpenNamespaceFn = HANDLE(WINAPI*)(LPVOID, LPCWSTR);

// Owner Administrators, and only SYSTEM and Administrators may open it: what a standard user cannot make.
struct AgentSecurity {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes{};
    AgentSecurity() {
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                             &descriptor, nullptr);
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = descriptor;
    }
    ~AgentSecurity() {
        if (descriptor) LocalFree(descriptor);
    }
    SECURITY_ATTRIBUTES* get() { return descriptor ? &attributes : nullptr; }
};

bool IsSystemOrAdmins(PSID sid) {
    return sid && (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

HeldNameFacts FactsOf(HANDLE mutex, bool existed) {
    HeldNameFacts facts;
    facts.existed = existed;
    facts.opened = mutex != nullptr;
    if (!mutex) return facts;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return facts;
    facts.ownerSystemOrAdmins = IsSystemOrAdmins(owner);
    // No DACL at all lets everybody in.
    bool only = dacl != nullptr;
    for (DWORD i = 0; only && i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) only = false;
        else if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE)
            only = IsSystemOrAdmins(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart);
        else if (ace->AceType != ACCESS_DENIED_ACE_TYPE) only = false;
    }
    facts.onlySystemAndAdmins = only;
    LocalFree(descriptor);
    return facts;
}

// 1: this is the agent, 0: another agent runs, -1: no private namespace here.
int ClaimInPrivateNamespace() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto createBoundary = reinterpret_cast<CreateBoundaryFn>(GetProcAddress(kernel, "CreateBoundaryDescriptorW"));
    auto addSid = reinterpret_cast<AddSidFn>(GetProcAddress(kernel, "AddSIDToBoundaryDescriptor"));
    auto deleteBoundary = reinterpret_cast<DeleteBoundaryFn>(GetProcAddress(kernel, "DeleteBoundaryDescriptor"));
    auto createNamespace = reinterpret_cast<CreateNamespaceFn>(GetProcAddress(kernel, "CreatePrivateNamespaceW"));
    auto openNamespace = reinterpret_cast<OpenNamespaceFn>(GetProcAddress(kernel, "OpenPrivateNamespaceW"));
    bool found = createBoundary && addSid && deleteBoundary && createNamespace && openNamespace;
    HANDLE boundary = found ? createBoundary(kNamespace, 0) : nullptr;
    bool made = false;
    if (boundary) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof sid;
        // Only a token holding SYSTEM's SID may create or open a namespace of this boundary.
        if (CreateWellKnownSid(WinLocalSystemSid, nullptr, sid, &size) && addSid(&boundary, sid)) {
            AgentSecurity security;
            g_namespace = createNamespace(security.get(), boundary, kNamespace);
            if (!g_namespace && GetLastError() == ERROR_ALREADY_EXISTS) g_namespace = openNamespace(boundary, kNamespace);
            made = true;
        }
        deleteBoundary(boundary);
    }
    if (ChooseInstanceWay(found, made, g_namespace != nullptr) != InstanceWay::PrivateNamespace) return -1;
    std::wstring name = std::wstring(kNamespace) + L"\\" + kName;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    // Nobody but SYSTEM reaches this name: a failure to make it is no other agent, and keeps none out.
    if (!mutex) return 1;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return 0;
    }
    g_mutexes.push_back(mutex);
    return 1;
}

}  // namespace

bool ClaimSingleInstance() {
    int claimed = ClaimInPrivateNamespace();
    if (claimed == 0) ReleaseSingleInstance();
    if (claimed >= 0) return claimed == 1;
    AgentSecurity security;
    NameHolder holders[kSingleInstanceNames];
    for (int i = 0; i < kSingleInstanceNames; ++i) {
        std::wstring name = i == 0 ? kName : std::wstring(kName) + L"." + std::to_wstring(i);
        HANDLE mutex = CreateMutexExW(security.get(), name.c_str(), 0, SYNCHRONIZE | READ_CONTROL);
        bool existed = mutex ? GetLastError() == ERROR_ALREADY_EXISTS : GetLastError() == ERROR_ACCESS_DENIED;
        holders[i] = JudgeHeldName(FactsOf(mutex, existed));
        if (holders[i] == NameHolder::Ours) g_mutexes.push_back(mutex);
        else if (mutex) CloseHandle(mutex);
    }
    if (JudgeInstanceNames(holders, kSingleInstanceNames) == InstanceVerdict::Run) return true;
    ReleaseSingleInstance();
    return false;
}

void ReleaseSingleInstance() {
    for (HANDLE mutex : g_mutexes) CloseHandle(mutex);
    g_mutexes.clear();
    if (g_namespace) {
        // ClosePrivateNamespace is Vista's as well: looked up with the rest.
        using CloseNamespaceFn = BOOLEAN(WINAPI*)(HANDLE, ULONG);
        auto closeNamespace = reinterpret_cast<CloseNamespaceFn>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ClosePrivateNamespace"));
        if (closeNamespace) closeNamespace(g_namespace, 0);
        g_namespace = nullptr;
    }
}
