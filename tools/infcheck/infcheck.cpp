// infcheck: opens an INF with the platform's setupapi and checks that it installs qelmrc.sys as the
// function driver of the Xbox DVD remote's receiver (USB\VID_045E&PID_0284) on x86 and amd64.
//
// Usage: infcheck <file.inf>. Prints what it read; exit status 0 when every check passes.
// Run under Wine on the build machine (tests/kernel), or on Windows.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int failures = 0;

void fail(const wchar_t* what, const std::wstring& detail = L"") {
    ++failures;
    std::fwprintf(stdout, L"FAIL: %ls%ls%ls\n", what, detail.empty() ? L"" : L": ", detail.c_str());
}

bool equalsNoCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Field `index` of the line in `context` (0 is the key), with %strings% substituted.
std::wstring field(INFCONTEXT* context, DWORD index) {
    DWORD needed = 0;
    if (!SetupGetStringFieldW(context, index, nullptr, 0, &needed) || needed == 0) {
        return L"";
    }
    std::vector<wchar_t> buffer(needed);
    if (!SetupGetStringFieldW(context, index, buffer.data(), needed, nullptr)) {
        return L"";
    }
    return buffer.data();
}

// Value of `key` in `section` (first field after the '='), or empty when absent.
std::wstring value(HINF inf, const wchar_t* section, const wchar_t* key) {
    INFCONTEXT context;
    if (!SetupFindFirstLineW(inf, section, key, &context)) {
        return L"";
    }
    return field(&context, 1);
}

struct Model {
    std::wstring name;
    std::wstring installSection;
};

// The receiver, and its interface 0 below Windows' composite-device driver.
const wchar_t* const ReceiverId = L"USB\\VID_045E&PID_0284";
const wchar_t* const ReceiverInterface0Id = L"USB\\VID_045E&PID_0284&MI_00";

// Device lines of one models section that name the hardware ID.
std::vector<Model> receiverModels(HINF inf, const std::wstring& section, const std::wstring& hardwareId) {
    std::vector<Model> models;
    INFCONTEXT context;
    if (!SetupFindFirstLineW(inf, section.c_str(), nullptr, &context)) {
        return models;
    }
    do {
        DWORD fields = SetupGetFieldCount(&context);
        for (DWORD i = 2; i <= fields; ++i) {
            if (equalsNoCase(field(&context, i), hardwareId)) {
                models.push_back({field(&context, 0), field(&context, 1)});
            }
        }
    } while (SetupFindNextLine(&context, &context));
    return models;
}

void checkService(HINF inf, const std::wstring& install) {
    std::wstring services = install + L".Services";
    INFCONTEXT context;
    if (!SetupFindFirstLineW(inf, services.c_str(), L"AddService", &context)) {
        fail(L"no AddService line in", services);
        return;
    }
    bool functionDriver = false;
    do {
        std::wstring name = field(&context, 1);
        INT flags = 0;
        SetupGetIntField(&context, 2, &flags);
        std::wstring serviceSection = field(&context, 3);
        std::fwprintf(stdout, L"service %ls flags 0x%08x section %ls\n", name.c_str(), flags,
                      serviceSection.c_str());
        if (!equalsNoCase(name, L"qelmrc") || !(flags & SPSVCINST_ASSOCSERVICE)) {
            continue;
        }
        functionDriver = true;
        INFCONTEXT line;
        INT type = -1, start = -1, error = -1;
        if (SetupFindFirstLineW(inf, serviceSection.c_str(), L"ServiceType", &line)) {
            SetupGetIntField(&line, 1, &type);
        }
        if (SetupFindFirstLineW(inf, serviceSection.c_str(), L"StartType", &line)) {
            SetupGetIntField(&line, 1, &start);
        }
        if (SetupFindFirstLineW(inf, serviceSection.c_str(), L"ErrorControl", &line)) {
            SetupGetIntField(&line, 1, &error);
        }
        std::wstring binary = value(inf, serviceSection.c_str(), L"ServiceBinary");
        std::fwprintf(stdout, L"  type %d start %d error %d binary %ls\n", type, start, error,
                      binary.c_str());
        if (type != SERVICE_KERNEL_DRIVER) {
            fail(L"service is not a kernel driver");
        }
        if (start != SERVICE_DEMAND_START) {
            fail(L"service does not start on demand");
        }
        if (error < 0) {
            fail(L"service has no ErrorControl");
        }
        std::wstring suffix = L"\\qelmrc.sys";
        if (binary.size() < suffix.size() ||
            !equalsNoCase(binary.substr(binary.size() - suffix.size()), suffix)) {
            fail(L"service binary is not qelmrc.sys", binary);
        }
    } while (SetupFindNextMatchLineW(&context, L"AddService", &context));
    if (!functionDriver) {
        fail(L"qelmrc is not installed as the device's function driver in", services);
    }
}

void checkCopyFiles(HINF inf, const std::wstring& install) {
    INFCONTEXT context;
    if (!SetupFindFirstLineW(inf, install.c_str(), L"CopyFiles", &context)) {
        fail(L"no CopyFiles in", install);
        return;
    }
    bool copied = false;
    for (DWORD i = 1; i <= SetupGetFieldCount(&context); ++i) {
        std::wstring list = field(&context, i);
        INFCONTEXT file;
        if (SetupFindFirstLineW(inf, list.c_str(), nullptr, &file)) {
            do {
                copied = copied || equalsNoCase(field(&file, 0), L"qelmrc.sys") ||
                         equalsNoCase(field(&file, 1), L"qelmrc.sys");
            } while (SetupFindNextLine(&file, &file));
        }
    }
    if (!copied) {
        fail(L"qelmrc.sys is not copied by", install);
    }
    INFCONTEXT source;
    if (!SetupFindFirstLineW(inf, L"SourceDisksFiles", L"qelmrc.sys", &source)) {
        fail(L"qelmrc.sys is not listed in SourceDisksFiles");
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: infcheck <file.inf>\n");
        return 2;
    }
    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileW(argv[1], nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) {
        std::fwprintf(stdout, L"FAIL: setupapi cannot open %ls (error %lu, line %u)\n", argv[1],
                      GetLastError(), errorLine);
        return 1;
    }

    std::wstring signature = value(inf, L"Version", L"Signature");
    std::wstring className = value(inf, L"Version", L"Class");
    std::wstring classGuid = value(inf, L"Version", L"ClassGuid");
    std::fwprintf(stdout, L"signature %ls class %ls %ls\n", signature.c_str(), className.c_str(),
                  classGuid.c_str());
    if (!equalsNoCase(signature, L"$WINDOWS NT$")) {
        fail(L"signature", signature);
    }
    if (!equalsNoCase(className, L"HIDClass") ||
        !equalsNoCase(classGuid, L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}")) {
        fail(L"the setup class is not HIDClass");
    }
    if (value(inf, L"Version", L"DriverVer").empty()) {
        fail(L"no DriverVer");
    }
    // Windows stages a driver package only with its signed catalog; PnpLockdown keeps the installed files
    // from being replaced by other programs.
    std::wstring catalog = value(inf, L"Version", L"CatalogFile");
    std::wstring lockdown = value(inf, L"Version", L"PnpLockdown");
    std::fwprintf(stdout, L"catalog %ls PnpLockdown %ls\n", catalog.c_str(), lockdown.c_str());
    if (!equalsNoCase(catalog, L"qelmrc.cat")) {
        fail(L"the catalog is not qelmrc.cat", catalog);
    }
    if (lockdown != L"1") {
        fail(L"PnpLockdown is not 1", lockdown);
    }

    // [Manufacturer]: one line naming the models section and its platform decorations.
    INFCONTEXT manufacturer;
    if (!SetupFindFirstLineW(inf, L"Manufacturer", nullptr, &manufacturer)) {
        fail(L"no Manufacturer section");
    } else {
        std::wstring models = field(&manufacturer, 1);
        for (const wchar_t* platform : {L"NTx86", L"NTamd64"}) {
            bool decorated = false;
            for (DWORD i = 2; i <= SetupGetFieldCount(&manufacturer); ++i) {
                decorated = decorated || equalsNoCase(field(&manufacturer, i), platform);
            }
            std::wstring section = models + L"." + platform;
            std::vector<Model> found = receiverModels(inf, section, ReceiverId);
            std::vector<Model> interface0 = receiverModels(inf, section, ReceiverInterface0Id);
            if (!decorated || found.empty()) {
                fail(L"the receiver is not listed for", platform);
                continue;
            }
            if (interface0.empty()) {
                fail(L"the receiver's interface 0 is not listed for", platform);
            }
            found.insert(found.end(), interface0.begin(), interface0.end());
            for (const Model& model : found) {
                std::fwprintf(stdout, L"%ls: \"%ls\" -> %ls\n", platform, model.name.c_str(),
                              model.installSection.c_str());
                if (model.name.empty() || model.name[0] == L'%') {
                    fail(L"device description not resolved", model.name);
                }
                std::wstring install = model.installSection + L".NT";
                INFCONTEXT any;
                if (!SetupFindFirstLineW(inf, install.c_str(), nullptr, &any)) {
                    fail(L"missing install section", install);
                    continue;
                }
                checkCopyFiles(inf, install);
                checkService(inf, install);
            }
        }
    }
    SetupCloseInfFile(inf);
    std::fwprintf(stdout, failures ? L"%d check(s) failed\n" : L"ok\n", failures);
    return failures ? 1 : 0;
}
