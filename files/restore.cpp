// Safe rewrite: the file about to be rewritten is moved aside under a backup name, which the
// caller's inline members put back or drop (tarnkernl/files.h).
#include "tarnkernl/files.h"

#include "tarnkernl/mui.h"
#include "platform/win32.h"

namespace {

// Language string 1034000: the old backup could not be removed.
constexpr unsigned int kBackupNotRemoved = 1034000;
// Language string 1034005: the file could not be moved to its backup name.
constexpr unsigned int kFileNotMoved = 1034005;

// The language text, the name and a closing quote; the system's reason when it gave one.
void SetError(str& errorText, unsigned int textId, const char* name) {
    const DWORD error = GetLastError();
    if (error == 0) {
        errorText.Assign(muiGetString(textId), name, "'");
        return;
    }
    errorText.Assign(muiGetString(textId), name, "':\r\n", strError());
}

}  // namespace

namespace tarn {

bool SurelyMissing(const char* name) {
    if (UNI_GetFileAttributes(name) != INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD reason = GetLastError();
    return reason == ERROR_FILE_NOT_FOUND || reason == ERROR_PATH_NOT_FOUND;
}

bool MoveFileOver(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != FALSE;
}

}  // namespace tarn

RestoreFileIfError::RestoreFileIfError(const char* file, const char* backupExt)
    : backupName(TFileName(file, "", backupExt)), fileExt(file + GetExtPointPos(file)) {
    if (existfile(backupName) && !UNI_DeleteFile(backupName)) {
        SetError(errorText, kBackupNotRemoved, backupName);
        backupName.Clear();
        return;
    }
    // Only a file the system says is not there needs no backup: one it cannot answer for is
    // moved all the same, so that the caller never rewrites a file left unprotected.
    if (tarn::SurelyMissing(file) || existdirectory(file))
        return;
    if (!MoveFileA(file, backupName))
        SetError(errorText, kFileNotMoved, file);
}
