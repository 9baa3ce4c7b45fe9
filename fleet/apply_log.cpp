// The apply log: %ProgramData%\Ondavi\ondavipci\apply.log, one JSON line per
// apply. The tool runs as SYSTEM, and users may create folders under
// ProgramData: so the tool's folders are made with a protected DACL (SYSTEM
// and Administrators full control, Users read), and before anything is
// written every folder of the tool's own and the log itself are checked by
// path and through a handle: no reparse point (junction, symbolic link,
// mount point), no hard link, an owner that is SYSTEM, Administrators or
// the running user. The folder handles stay open, without delete sharing,
// until the entry is written, so the checked folders cannot be swapped in
// between. Any doubt: the entry is not written, and the reason is reported;
// the apply's own result stands. Past 1 MiB the log is renamed to
// apply.log.1 (replacing an older one), never deleted.
#include <string>
#include <vector>

#include "fleet/fleet.h"

namespace {

const DWORD LogLimit = 1024 * 1024;
const char* const ToolFolders[] = {"Ondavi", "ondavipci"};
// Owned by Administrators, which only SYSTEM and an elevated administrator
// may give (a user's run fails with ERROR_INVALID_OWNER, and so makes no
// folder that later runs as SYSTEM would refuse); protected (no entries
// inherited from ProgramData); inherited by everything made inside.
const char* const FolderSecurity = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

struct LOG_CHECK {
    std::vector<BYTE> UserToken;  // TOKEN_USER of the running process
    std::vector<HANDLE> Held;     // the checked folders, held open
    std::string Reason;           // empty while all is well
};

std::string ErrorText(DWORD code) {
    std::string text = "error " + std::to_string(code);
    const std::string message = SystemMessage(code);
    return message.empty() ? text : text + ": " + message;
}

BOOL Refuse(LOG_CHECK& check, const std::string& reason) {
    check.Reason = reason;
    return FALSE;
}

BOOL ReadRunningUser(LOG_CHECK& check) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return Refuse(check, "cannot read the running user: OpenProcessToken: " + ErrorText(GetLastError()));
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    check.UserToken.assign(size != 0 ? size : 1, 0);
    const BOOL ok = GetTokenInformation(token, TokenUser, check.UserToken.data(), size, &size);
    const DWORD code = GetLastError();
    CloseHandle(token);
    if (!ok) return Refuse(check, "cannot read the running user: GetTokenInformation: " + ErrorText(code));
    return TRUE;
}

BOOL TrustedOwner(LOG_CHECK& check, PSID owner) {
    const PSID user = reinterpret_cast<TOKEN_USER*>(check.UserToken.data())->User.Sid;
    return IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
           EqualSid(owner, user);
}

// What the handle shows: the object itself, not what a link leads to.
BOOL CheckHandle(LOG_CHECK& check, HANDLE handle, const std::string& path, BOOL folder) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        return Refuse(check, path + ": GetFileInformationByHandle: " + ErrorText(GetLastError()));
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Refuse(check, path + " is a reparse point");
    if (((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != (folder != FALSE)) {
        return Refuse(check, path + (folder ? " is not a folder" : " is a folder"));
    }
    if (!folder && info.nNumberOfLinks > 1) return Refuse(check, path + " has more than one name (a hard link)");
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status =
        GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) return Refuse(check, path + ": cannot read its owner: " + ErrorText(status));
    const BOOL trusted = TrustedOwner(check, owner);
    LocalFree(descriptor);
    if (!trusted) return Refuse(check, path + " is owned by an account other than SYSTEM, Administrators or the running user");
    return TRUE;
}

// What the path shows: Wine shows a link to a folder here only.
BOOL CheckPath(LOG_CHECK& check, const std::string& path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Refuse(check, path + " is a reparse point");
    return TRUE;
}

BOOL CreateToolFolder(LOG_CHECK& check, const std::string& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(FolderSecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
        return Refuse(check, "cannot make the folder's security descriptor: " + ErrorText(GetLastError()));
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const BOOL created = CreateDirectoryA(path.c_str(), &attributes);
    const DWORD code = GetLastError();
    LocalFree(descriptor);
    if (!created && code != ERROR_ALREADY_EXISTS) return Refuse(check, "cannot create " + path + ": " + ErrorText(code));
    return TRUE;
}

BOOL HoldToolFolder(LOG_CHECK& check, const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!CreateToolFolder(check, path)) return FALSE;
        attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return Refuse(check, path + ": " + ErrorText(GetLastError()));
    }
    if (!CheckPath(check, path, attributes)) return FALSE;
    HANDLE folder = CreateFileA(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return Refuse(check, "cannot open " + path + ": " + ErrorText(GetLastError()));
    check.Held.push_back(folder);
    return CheckHandle(check, folder, path, TRUE);
}

HANDLE OpenLog(LOG_CHECK& check, const std::string& path, DWORD access, DWORD disposition) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !CheckPath(check, path, attributes)) return INVALID_HANDLE_VALUE;
    HANDLE log = CreateFileA(path.c_str(), access | READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                             disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (log == INVALID_HANDLE_VALUE) {
        Refuse(check, "cannot open " + path + ": " + ErrorText(GetLastError()));
        return INVALID_HANDLE_VALUE;
    }
    if (!CheckHandle(check, log, path, FALSE)) {
        CloseHandle(log);
        return INVALID_HANDLE_VALUE;
    }
    return log;
}

BOOL RotateIfFull(LOG_CHECK& check, const std::string& path) {
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return TRUE;
    HANDLE log = OpenLog(check, path, 0, OPEN_EXISTING);
    if (log == INVALID_HANDLE_VALUE) return FALSE;
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL full = GetFileInformationByHandle(log, &info) && (info.nFileSizeHigh != 0 || info.nFileSizeLow > LogLimit);
    CloseHandle(log);
    if (!full) return TRUE;
    const std::string old = path + ".1";
    if (!MoveFileExA(path.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return Refuse(check, "cannot rename " + path + " to " + old + ": " + ErrorText(GetLastError()));
    }
    return TRUE;
}

BOOL WriteEntry(LOG_CHECK& check, const std::string& path, const std::string& entry) {
    if (!RotateIfFull(check, path)) return FALSE;
    HANDLE log = OpenLog(check, path, FILE_APPEND_DATA, OPEN_ALWAYS);
    if (log == INVALID_HANDLE_VALUE) return FALSE;
    const std::string line = entry + "\r\n";
    DWORD written = 0;
    const BOOL ok = WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    const DWORD code = GetLastError();
    CloseHandle(log);
    if (!ok) return Refuse(check, "cannot write " + path + ": " + ErrorText(code));
    if (written != line.size()) return Refuse(check, "cannot write " + path + ": the entry was cut short");
    return TRUE;
}

// ProgramData, without a trailing backslash.
BOOL ProgramData(LOG_CHECK& check, std::string& base) {
    char text[260];
    const DWORD length = GetEnvironmentVariableA("ProgramData", text, sizeof text);
    if (length == 0 || length >= sizeof text) return Refuse(check, "ProgramData is not set");
    base.assign(text, length);
    while (base.size() > 3 && base.back() == '\\') base.pop_back();
    if (base.size() < 3 || base[1] != ':' || base[2] != '\\') {
        return Refuse(check, "ProgramData is not a full path: " + base);
    }
    return TRUE;
}

}  // namespace

void AppendApplyLog(const std::string& entry) {
    LOG_CHECK check;
    std::string base;
    BOOL ok = ProgramData(check, base);
    if (ok) {
        std::string folder = base;
        for (const char* name : ToolFolders) folder += std::string("\\") + name;
        FleetRun.Log.Path = folder + "\\apply.log";
        ok = ReadRunningUser(check);
    }
    // Each folder is checked, and held, before the next one inside it.
    std::string folder = base;
    for (const char* name : ToolFolders) {
        if (!ok) break;
        folder += std::string("\\") + name;
        ok = HoldToolFolder(check, folder);
    }
    if (ok) ok = WriteEntry(check, FleetRun.Log.Path, entry);
    for (HANDLE held : check.Held) CloseHandle(held);
    FleetRun.Log.Written = ok;
    FleetRun.Log.Reason = check.Reason;
}
