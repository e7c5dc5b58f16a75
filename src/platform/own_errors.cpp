// Words for the reasons of our own, and for any reason, on every system.
#include <string>

#include "platform.h"

const char *DescribeOwnError(DWORD code)
{
    switch (code) {
    case ERROR_NOT_A_FILE:
        return "not a regular file";
    case ERROR_COPY_NOT_WHOLE:
        return "its copy does not hold what the folder holds";
    case ERROR_INTERRUPTED_COPY_MISSING:
        return "a conversion of it was interrupted, and the copy of its original is missing";
    case ERROR_INTERRUPTED_COPY_NOT_WHOLE:
        return "a conversion of it was interrupted, and the copy of its original is not whole";
    case ERROR_INTERRUPTED_FOLDER_CHANGED:
        return "a conversion of it was interrupted, and it has changed since";
    case ERROR_INTERRUPTED_FRONT_CHANGED:
        return "a conversion of it was interrupted, and the part before where it started has changed since";
    case ERROR_INTERRUPTED_RECORD_ELSEWHERE:
        return "a conversion of it was interrupted, and its record is not in this run's state directory";
    case ERROR_INTERRUPTED_RECORD_STAYS:
        return "an interrupted conversion of it was completed, but its record cannot be deleted";
    case ERROR_INTERRUPTED_RECORD_UNREADABLE:
        return "a conversion of it was interrupted, and its record cannot be read";
    case ERROR_INTERRUPTED_OTHER_CONVERSION:
        return "a conversion of it was interrupted that this build cannot complete: another build's, or of another kind";
    case ERROR_FOLDER_LOCKED:
        return "in use by another program, which holds its lock file; if no mail program is running, "
               "delete the lock file";
    case ERROR_NO_FILE_IDENTITY:
        return "its file system gives it no identity of its own (a file index of zero), and no full path";
    case ERROR_STATE_DIRECTORY_NOT_PRIVATE:
        return "not a directory of this user's alone: a link, another user's, or open to others";
    case ERROR_INTERRUPTED_OTHER_VERSION:
        return "a conversion of it was interrupted, and its record comes from another version of this program";
    case ERROR_NOTHING_TO_UNDO:
        return "no conversion of it was interrupted: there is nothing to undo";
    case ERROR_NOT_THE_WALKED_FILE:
        return "a link or another file was put in its place since it was found";
    case ERROR_HALF_WRITTEN_NO_RECORD:
        return "it looks half written by a conversion that was stopped (converted text, then ISO-2022-KR text "
               "whose designator is gone), and no record of that conversion is in this run's state directory: "
               "convert it as the same user on the machine where it was stopped, at the path it had then, or put "
               "it back from a backup";
    case ERROR_CONVERSION_NOT_REPEATED:
        return "converting its copy gave other bytes than converting it had given, so it is put back from the "
               "copy as it was";
    case ERROR_PATTERN_UNMATCHED:
        return "no file matches this pattern";
    default:
        return nullptr;
    }
}

std::string ErrorText(DWORD code)
{
    char text[256];
    return DescribeError(code, text, sizeof text) ? text : "error " + std::to_string(code);
}
