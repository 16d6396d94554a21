// The Windows implementation of the platform layer, on the Win32 interfaces alone.
//
// Names arrive as UTF-8 (the command line is read as UTF-16 and converted) and are handed to the
// wide-character calls, so any name works whatever the code page; a path longer than MAX_PATH
// is passed in its "\\?\" form. Failures are returned as negative errno values, mapped from the
// system's error codes, as on POSIX.
//
// Temporary files. A file opened with FILE_FLAG_DELETE_ON_CLOSE vanishes when the process dies,
// as an unnamed file does on Linux, but such a file cannot be kept and renamed into place: the
// flag belongs to the handle, and clearing it needs a call only recent versions of Windows have.
// So results are written to named temporary files (createUnnamed says the system has no unnamed
// files, and the commit falls back to its private ".name.qor-PID-N" names, made with CREATE_NEW
// and hidden). The console's stop events remove them, as the stopping signals do on POSIX. A
// complete result takes its place with ReplaceFileW where the destination exists, which keeps
// the old file's attributes, security and creation time, the Windows counterpart of the owner,
// group and mode the POSIX commit gives it; a new name is made with MoveFileExW, written through.
// Sources spooled from a pipe need no name at any time, and are deleted-on-close files.
//
// The stopping signals are the console's control events (Ctrl-C, Ctrl-Break, closing the console
// window, logging off, shutting down), which Windows delivers on a thread of their own, abort()
// (SIGABRT, raised on the thread that aborts) and a crash nothing handles. Holding
// them back is a critical section: StopSignalsHeld enters it, and the handler enters it before
// it removes the remembered names and never leaves it, so that no name is made, put in place or
// removed while the handler works, and the run ends while the handler holds it.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// The rest of the Win32 headers after windows.h.
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

HANDLE handleOf(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle fileOf(HANDLE handle) { return reinterpret_cast<FileHandle>(handle); }

// The errno value for a system error code.
int errnoOf(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
        return EPIPE;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        return EOPNOTSUPP;
    default:
        return EIO;
    }
}

int failure() { return -errnoOf(GetLastError()); }

std::wstring wide(const std::string& text, UINT codePage = CP_UTF8) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
    return out;
}

std::string narrow(const wchar_t* text, size_t size) {
    if (size == 0) return std::string();
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), out.data(), length, nullptr, nullptr);
    return out;
}
std::string narrow(const std::wstring& text) { return narrow(text.data(), text.size()); }

// The name as the wide-character calls take it. One whose full path would pass MAX_PATH is
// given as that full path in its "\\?\" form (which takes no "/" and no "." or ".."
// components: GetFullPathNameW has resolved them).
std::wstring pathOf(const std::string& name) {
    std::wstring path = wide(name);
    if (path.rfind(L"\\\\?\\", 0) == 0) return path;
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed < MAX_PATH || needed == 0) return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return path;
    full.resize(length);
    if (full.rfind(L"\\\\.\\", 0) == 0) return path;  // a device, such as \\.\NUL
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens `name` for `access` as it exists; folders too (FILE_FLAG_BACKUP_SEMANTICS).
HANDLE openExisting(const std::string& name, DWORD access) {
    return CreateFileW(pathOf(name).c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// 100-nanosecond intervals from 1601 to 1970.
constexpr int64_t kEpochDifference = 116444736000000000LL;

int describe(HANDLE handle, FileInfo& info) {
    info = FileInfo{};
    SetLastError(NO_ERROR);
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return failure();
    if (type != FILE_TYPE_DISK) {
        // A pipe, the console, or a device such as NUL: read as it arrives.
        info.pipe = type == FILE_TYPE_PIPE;
        info.stream = true;
        info.mode = 0666;
        info.links = 1;
        return 0;
    }
    // The calls by information class: Wine answers them for a standard handle on a file, where
    // GetFileInformationByHandle fails.
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        return failure();
    }
    info.directory = standard.Directory != 0;
    info.regular = !info.directory;
    info.size = standard.EndOfFile.QuadPart;
    info.modified = (basic.LastWriteTime.QuadPart - kEpochDifference) * 100;
    info.changed = (basic.ChangeTime.QuadPart - kEpochDifference) * 100;
    // The read-only attribute stands for the write permission bits; there is no owner or group.
    info.mode = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
    if (info.directory) info.mode |= 0111;
    info.links = standard.NumberOfLinks;
    // The volume and the file's number on it tell one file from another, as device and inode.
    FILE_ID_INFO id;
    BY_HANDLE_FILE_INFORMATION about;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        uint64_t low = 0;
        uint64_t high = 0;
        memcpy(&low, id.FileId.Identifier, 8);
        memcpy(&high, id.FileId.Identifier + 8, 8);
        info.device = id.VolumeSerialNumber;
        info.inode = low ^ high;
    } else if (GetFileInformationByHandle(handle, &about)) {
        info.device = about.dwVolumeSerialNumber;
        info.inode = (static_cast<uint64_t>(about.nFileIndexHigh) << 32) | about.nFileIndexLow;
    } else {
        return failure();
    }
    return 0;
}

// Moves the file position to `to`, keeping where it was in `from` (for the positioned calls,
// which leave the position alone on POSIX but move it on Windows).
struct PositionKept {
    HANDLE handle;
    LARGE_INTEGER at{};
    bool kept;
    explicit PositionKept(HANDLE h) : handle(h) {
        const LARGE_INTEGER zero{};
        kept = SetFilePointerEx(handle, zero, &at, FILE_CURRENT) != 0;
    }
    ~PositionKept() {
        if (kept) SetFilePointerEx(handle, at, nullptr, FILE_BEGIN);
    }
    PositionKept(const PositionKept&) = delete;
    PositionKept& operator=(const PositionKept&) = delete;
};

OVERLAPPED at(int64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
    o.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    return o;
}

// The largest piece one ReadFile or WriteFile is given.
constexpr int64_t kPiece = int64_t{1} << 30;

// Writes all of `count` bytes, at `offset` or (when negative) at the file position.
int writeWhole(FileHandle file, const uint8_t* bytes, int64_t count, int64_t offset) {
    const HANDLE handle = handleOf(file);
    while (count > 0) {
        const DWORD piece = static_cast<DWORD>(std::min(count, kPiece));
        DWORD written = 0;
        BOOL done = FALSE;
        if (offset < 0) {
            done = WriteFile(handle, bytes, piece, &written, nullptr);
        } else {
            OVERLAPPED o = at(offset);
            done = WriteFile(handle, bytes, piece, &written, &o);
        }
        if (!done) return failure();
        if (written == 0) return -EIO;
        bytes += written;
        count -= written;
        if (offset >= 0) offset += written;
    }
    return 0;
}

// The names removed when the run is stopped, and the critical section that holds the stop back.
constexpr int kSlots = 8;
std::wstring names[kSlots];
bool inUse[kSlots];

struct StopLock {
    CRITICAL_SECTION section;
    StopLock() { InitializeCriticalSection(&section); }
};
StopLock stopLock;

// Removes every remembered name, for a handler that then lets the process end. The section is
// entered and never left: the run makes, places or removes no name from here on.
void removeNames() {
    EnterCriticalSection(&stopLock.section);
    for (int i = 0; i < kSlots; i++) {
        if (inUse[i]) DeleteFileW(names[i].c_str());
    }
}

BOOL WINAPI stopRun(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    removeNames();
    // The run ends as Ctrl-C ends a program. TerminateProcess, not ExitProcess: the other
    // threads may hold the C library's locks, which the exit handlers would wait for.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// abort(), and std::terminate through it: the C runtime ends the process once this returns.
void abortRun(int) { removeNames(); }

// A crash (an access violation, an illegal instruction...) that nothing handles: the filter that
// was there before (the C runtime's) decides first, and the names go only when the process ends.
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
LONG WINAPI crashRun(EXCEPTION_POINTERS* exception) {
    const LONG decided = previousFilter != nullptr ? previousFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
    if (decided != EXCEPTION_CONTINUE_EXECUTION) removeNames();
    return decided;
}

bool closedAtStart[3];
constexpr DWORD kStandardHandles[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

}  // namespace

int statPath(const std::string& name, FileInfo& info) {
    // A name no Windows file system takes is said so here, before a run writes anything under
    // it (Wine would look it up and find nothing).
    const std::wstring path = wide(name);
    size_t component = 0;
    for (const wchar_t c : path) {
        component = c == L'\\' || c == L'/' ? 0 : component + 1;
        if (component > 255) return -ENAMETOOLONG;
    }
    const HANDLE handle = openExisting(name, FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE) return failure();
    const int result = describe(handle, info);
    CloseHandle(handle);
    return result;
}

int statFile(FileHandle file, FileInfo& info) { return describe(handleOf(file), info); }

int mayWrite(const std::string& name) {
    const DWORD attributes = GetFileAttributesW(pathOf(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return failure();
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return -EACCES;
    // The file's security decides: opening it for writing changes nothing in it.
    const HANDLE handle = openExisting(name, GENERIC_WRITE);
    if (handle == INVALID_HANDLE_VALUE) return failure();
    CloseHandle(handle);
    return 0;
}

int mayChangeFolder(const std::string& folder) {
    // The right to add a file to the folder, as its security gives it.
    const HANDLE handle = openExisting(folder.empty() ? "." : folder, FILE_ADD_FILE);
    if (handle == INVALID_HANDLE_VALUE) return failure();
    FileInfo info;
    const int described = describe(handle, info);
    CloseHandle(handle);
    if (described != 0) return described;
    return info.directory ? 0 : -ENOTDIR;
}

std::string resolvedPath(const std::string& name) {
    const HANDLE handle = openExisting(name, 0);
    if (handle == INVALID_HANDLE_VALUE) return name;
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    if (length >= path.size()) {
        path.resize(length + 1);
        length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    }
    CloseHandle(handle);
    if (length == 0 || length >= path.size()) return name;
    path.resize(length);
    // The "\\?\" form is kept only where the path needs it.
    if (length < MAX_PATH) {
        if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
            path = L"\\\\" + path.substr(8);
        } else if (path.rfind(L"\\\\?\\", 0) == 0 && path.size() > 6 && path[5] == L':') {
            path = path.substr(4);
        }
    }
    return narrow(path);
}

std::string temporaryFolder() {
    wchar_t folder[MAX_PATH + 2];
    const DWORD length = GetTempPathW(MAX_PATH + 2, folder);
    if (length == 0 || length > MAX_PATH + 1) return ".\\";
    std::string name = narrow(folder, length);
    if (name.back() != '\\' && name.back() != '/') name += '\\';
    return name;
}

int processId() { return static_cast<int>(GetCurrentProcessId()); }

const char* errorText(int error) {
    // The words the Linux build prints, so that both builds explain a failure alike; the C
    // runtime's own texts differ for some of these.
    static constexpr struct {
        int number;
        const char* text;
    } kTexts[] = {
        {ENOENT, "No such file or directory"}, {EACCES, "Permission denied"}, {EEXIST, "File exists"},
        {ENOSPC, "No space left on device"},   {EIO, "Input/output error"},   {EISDIR, "Is a directory"},
        {ENOTDIR, "Not a directory"},          {EBADF, "Bad file descriptor"}, {EBUSY, "Device or resource busy"},
        {EFBIG, "File too large"},             {EMFILE, "Too many open files"}, {EROFS, "Read-only file system"},
        {EPERM, "Operation not permitted"},    {EINVAL, "Invalid argument"},   {ENOMEM, "Cannot allocate memory"},
        {EXDEV, "Invalid cross-device link"},  {EAGAIN, "Resource temporarily unavailable"},
    };
    const int number = error < 0 ? -error : EIO;
    for (const auto& entry : kTexts) {
        if (entry.number == number) return entry.text;
    }
    return strerror(number);
}

FileHandle openForReading(const std::string& name, int& error) {
    const HANDLE handle = openExisting(name, GENERIC_READ);
    error = handle == INVALID_HANDLE_VALUE ? failure() : 0;
    return fileOf(handle);
}

FileHandle openForWriting(const std::string& name, bool truncate, int& error) {
    const HANDLE handle = CreateFileW(pathOf(name).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = failure();
        return kNoFile;
    }
    error = 0;
    if (truncate && GetFileType(handle) == FILE_TYPE_DISK && !SetEndOfFile(handle)) {
        error = failure();
        CloseHandle(handle);
        return kNoFile;
    }
    return fileOf(handle);
}

namespace {

FileHandle createExclusive(const std::string& name, int& error) {
    // Shared for deletion, so that the stop handler can remove it while it is open; hidden
    // while it is a temporary file (setMode clears that before it takes its place).
    const HANDLE handle = CreateFileW(pathOf(name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, nullptr);
    error = handle == INVALID_HANDLE_VALUE ? failure() : 0;
    return fileOf(handle);
}

int renameOver(const std::string& from, const std::string& to) {
    const std::wstring source = pathOf(from);
    const std::wstring target = pathOf(to);
    // An existing file is replaced keeping its attributes and security; without one (or where
    // it went meanwhile) the file is moved to the new name.
    if (ReplaceFileW(target.c_str(), source.c_str(), nullptr,
                     REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr)) {
        return 0;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return -errnoOf(code);
    return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : failure();
}

}  // namespace

int closeFile(FileHandle file) { return CloseHandle(handleOf(file)) ? 0 : failure(); }

int64_t readAt(FileHandle file, void* bytes, int64_t count, int64_t offset) {
    const HANDLE handle = handleOf(file);
    const PositionKept position(handle);
    OVERLAPPED o = at(offset);
    DWORD read = 0;
    if (!ReadFile(handle, bytes, static_cast<DWORD>(std::min(count, kPiece)), &read, &o)) {
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : failure();
    }
    return read;
}

int writeAll(FileHandle file, const void* bytes, int64_t count) {
    return writeWhole(file, static_cast<const uint8_t*>(bytes), count, -1);
}

int writeAllAt(FileHandle file, const void* bytes, int64_t count, int64_t offset) {
    const PositionKept position(handleOf(file));
    return writeWhole(file, static_cast<const uint8_t*>(bytes), count, offset);
}

int64_t copyBetween(FileHandle, int64_t, FileHandle, int64_t) {
    // No copy between open files inside the system: the caller copies through its buffers.
    return 0;
}

int reserve(FileHandle file, int64_t length) {
    // The allocation is only ever grown: a size below the file's length would cut it short.
    LARGE_INTEGER size;
    if (length <= 0 || !GetFileSizeEx(handleOf(file), &size) || length <= size.QuadPart) return 0;
    FILE_ALLOCATION_INFO allocation;
    allocation.AllocationSize.QuadPart = length;
    if (!SetFileInformationByHandle(handleOf(file), FileAllocationInfo, &allocation, sizeof allocation)) {
        const int error = failure();
        // Only a full disk counts; a file system that cannot reserve leaves it to the writes.
        if (error == -ENOSPC) return error;
    }
    return 0;
}

int setLength(FileHandle file, int64_t length) {
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = length;
    return SetFileInformationByHandle(handleOf(file), FileEndOfFileInfo, &end, sizeof end) ? 0 : failure();
}

int sync(FileHandle file) { return FlushFileBuffers(handleOf(file)) ? 0 : failure(); }

int setOwner(FileHandle, uint32_t, uint32_t) {
    // Files have no owner and group in this sense; ReplaceFileW keeps the old file's security.
    return 0;
}

int setMode(FileHandle file, uint32_t mode) {
    // The write permission bits become the read-only attribute, and the temporary file's hidden
    // attribute goes: the file is about to take its place.
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(handleOf(file), FileBasicInfo, &basic, sizeof basic)) return failure();
    DWORD attributes = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN);
    if ((mode & 0222) == 0) {
        attributes |= FILE_ATTRIBUTE_READONLY;
    } else {
        attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    }
    if (attributes == basic.FileAttributes) return 0;
    FILE_BASIC_INFO changed{};  // times of 0 are left as they are
    changed.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    return SetFileInformationByHandle(handleOf(file), FileBasicInfo, &changed, sizeof changed) ? 0 : failure();
}

uint32_t newFileMode() { return 0666; }

// Folders are held by their path: the names below are joined to it.
int openFolder(const std::string& path, Folder& folder) {
    folder.handle = kNoFile;
    folder.path = path;
    const DWORD attributes = GetFileAttributesW(pathOf(path.empty() ? "." : path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return failure();
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : -ENOTDIR;
}

void closeFolder(Folder& folder) { folder.handle = kNoFile; }

int statIn(const Folder& folder, const std::string& base, FileInfo& info, bool& link) {
    const HANDLE handle = CreateFileW(pathOf(folder.path + base).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return failure();
    const int described = describe(handle, info);
    FILE_ATTRIBUTE_TAG_INFO tag;
    link = GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    CloseHandle(handle);
    return described;
}

FileHandle createUnnamedIn(const Folder&, int& error) {
    // No file here can be written without a name and then named (see the top of this file).
    error = -EOPNOTSUPP;
    return kNoFile;
}

FileHandle createExclusiveIn(const Folder& folder, const std::string& base, int& error) {
    return createExclusive(folder.path + base, error);
}

FileHandle openExistingIn(const Folder& folder, const std::string& base, bool writing, int& error) {
    const HANDLE handle =
        CreateFileW(pathOf(folder.path + base).c_str(), GENERIC_READ | (writing ? GENERIC_WRITE : 0), kShareAll, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = failure();
        return kNoFile;
    }
    FileInfo info;
    bool link = false;
    if (describe(handle, info) != 0 || !info.regular ||
        (statIn(folder, base, info, link) == 0 && link)) {
        CloseHandle(handle);
        error = link ? -ELOOP : -EINVAL;
        return kNoFile;
    }
    error = 0;
    return fileOf(handle);
}

int nameUnnamedIn(FileHandle, const Folder&, const std::string&) { return -EOPNOTSUPP; }

int renameIn(const Folder& folder, const std::string& from, const std::string& to) {
    return renameOver(folder.path + from, folder.path + to);
}

int removeIn(const Folder& folder, const std::string& base) {
    return DeleteFileW(pathOf(folder.path + base).c_str()) ? 0 : failure();
}

int syncFolder(const Folder&) {
    // A folder's names are written through by the file system itself (MOVEFILE_WRITE_THROUGH).
    return 0;
}

int lockFile(FileHandle file, int waitMilliseconds) {
    for (int waited = 0;; waited += 20) {
        OVERLAPPED whole{};
        if (LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                       &whole)) {
            return 0;
        }
        if (GetLastError() != ERROR_LOCK_VIOLATION) return 0;  // no locks here
        if (waited >= waitMilliseconds) return -EAGAIN;
        Sleep(20);
    }
}

int writtenElsewhere(FileHandle) {
    // Every open here shares writing (kShareAll), so another writer cannot be told apart.
    return 0;
}

int cloneInto(FileHandle, FileHandle) { return -EOPNOTSUPP; }

int64_t readNext(FileHandle file, void* bytes, int64_t count) {
    DWORD read = 0;
    if (!ReadFile(handleOf(file), bytes, static_cast<DWORD>(std::min(count, kPiece)), &read, nullptr)) {
        const DWORD code = GetLastError();
        // The writer closed its end of the pipe: the end of the stream.
        return code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF ? 0 : -errnoOf(code);
    }
    return read;
}

int64_t positionOf(FileHandle file) {
    const LARGE_INTEGER zero{};
    LARGE_INTEGER here;
    return SetFilePointerEx(handleOf(file), zero, &here, FILE_CURRENT) ? here.QuadPart : failure();
}

FileHandle createSpool(int& error) {
    // Deleted when closed, and so when the process dies: it never needs its name again.
    const std::string stem = temporaryFolder() + ".qor-" + std::to_string(processId()) + "-";
    for (int attempt = 0; attempt < 100; attempt++) {
        const HANDLE handle = CreateFileW(
            pathOf(stem + std::to_string(attempt)).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
            CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            error = 0;
            return fileOf(handle);
        }
        error = failure();
        if (error != -EEXIST) return kNoFile;
    }
    return kNoFile;
}

void holdStandardStreams() {
    // Files opened later never take a standard stream's place here; only what was missing at
    // the start is noted.
    for (int which = 0; which < 3; which++) {
        const HANDLE handle = GetStdHandle(kStandardHandles[which]);
        closedAtStart[which] = handle == nullptr || handle == INVALID_HANDLE_VALUE;
    }
}

bool standardStreamClosed(int which) { return which >= 0 && which < 3 && closedAtStart[which]; }

bool namesStandardOutput(const std::string& name) { return name == "-"; }

bool namesReservedDevice(const std::string& name) {
    // As Windows reads a name: trailing colons aside, the last component counts (after the last
    // separator, or a colon not just before a dot), and of it what stands before the first dot,
    // less a colon and blanks at its end ("d\NUL.wav", "nul .txt", "NUL:"). A network or
    // device path ("\\server\share", "\\.\COM1") is no such name.
    if (name.rfind("\\\\", 0) == 0 || name.rfind("//", 0) == 0) return false;
    std::string stem = name.substr(0, name.find_last_not_of(':') + 1);
    size_t start = stem.size();
    while (start > 0 && stem[start - 1] != '/' && stem[start - 1] != '\\' &&
           !(stem[start - 1] == ':' && stem[start] != '.')) {
        start--;
    }
    stem = stem.substr(start, stem.find('.', start) - start);
    if (!stem.empty() && stem.back() == ':') stem.pop_back();
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    if (stem == "NUL" || stem == "CON" || stem == "AUX" || stem == "PRN") return true;
    return stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) && stem[3] >= '1' &&
           stem[3] <= '9';
}

int standardOutputWritable() { return standardStreamClosed(1) ? -EBADF : 0; }

FileHandle standardOutput() { return fileOf(GetStdHandle(STD_OUTPUT_HANDLE)); }

bool isStandardInput(const std::string& name, const FileInfo&) { return name == "-"; }

FileHandle openStandardInput(int& error) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (standardStreamClosed(0) || !DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_INPUT_HANDLE),
                                                     GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        error = -EBADF;
        return kNoFile;
    }
    error = 0;
    return fileOf(copy);
}

std::string toShiftJis(const std::string& utf8) {
    const std::wstring text = wide(utf8);
    if (text.empty()) return utf8;
    BOOL lost = FALSE;
    const int length =
        WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, &lost);
    if (length <= 0 || lost) return utf8;
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr, nullptr);
    return out;
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) return {argv, argv + argc};
    std::vector<std::string> out;
    for (int i = 0; i < count; i++) out.push_back(narrow(arguments[i], wcslen(arguments[i])));
    LocalFree(arguments);
    return out;
}

std::string environmentValue(const char* name) {
    const std::wstring variable = wide(name);
    const DWORD needed = GetEnvironmentVariableW(variable.c_str(), nullptr, 0);
    if (needed == 0) return std::string();
    std::wstring value(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(variable.c_str(), value.data(), needed);
    return length < needed ? narrow(value.data(), length) : std::string();
}

void writeText(FILE* stream, const std::string& text, bool shiftJis) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        // A console shows characters: what the stream holds goes first, then the text as UTF-16.
        fflush(stream);
        const std::wstring characters = wide(text, shiftJis ? 932 : CP_UTF8);
        for (size_t done = 0; done < characters.size();) {
            DWORD written = 0;
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(characters.size() - done, 8192));
            if (!WriteConsoleW(handle, characters.data() + done, piece, &written, nullptr) || written == 0) return;
            done += written;
        }
        return;
    }
    // Redirected: the bytes, each "\n" written as CRLF by the stream's text mode.
    fwrite(text.data(), 1, text.size(), stream);
}

int compareIgnoringCase(const char* a, const char* b) { return _stricmp(a, b); }

size_t baseNameStart(const std::string& path) {
    const size_t separator = path.find_last_of("/\\");
    if (separator != std::string::npos) return separator + 1;
    // "C:take.wav": a name in the current folder of drive C.
    const bool drive = path.size() >= 2 && path[1] == ':' &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return drive ? 2 : 0;
}

void prepareForWriting() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    SetConsoleCtrlHandler(stopRun, TRUE);
    signal(SIGABRT, abortRun);
    previousFilter = SetUnhandledExceptionFilter(crashRun);
}

void ignoreWriteSignals() {
    // Windows has neither signal: a closed pipe and a full disk fail the write.
}

int rememberTemporaryName(const Folder& folder, const std::string& base) {
    const StopSignalsHeld held;
    for (int i = 0; i < kSlots; i++) {
        if (inUse[i]) continue;
        names[i] = pathOf(folder.path + base);
        inUse[i] = true;
        return i;
    }
    return -1;
}

void forgetTemporaryName(int& slot) {
    const StopSignalsHeld held;
    if (slot >= 0) inUse[slot] = false;
    slot = -1;
}

StopSignalsHeld::StopSignalsHeld() { EnterCriticalSection(&stopLock.section); }

StopSignalsHeld::~StopSignalsHeld() { LeaveCriticalSection(&stopLock.section); }

}  // namespace platform
