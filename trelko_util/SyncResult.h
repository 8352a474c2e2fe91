// How one installation step of the synchronisation library ended, as its
// caller tells the user. The values cross the library's boundary as ints.
#pragma once

enum class SyncResult : int {
    Done = 0,
    /// A staging or destination argument the library never works in.
    BadArguments = 1,
    /// An archive that is no zip, has no entries or an entry the library refuses.
    ArchiveRefused = 2,
    /// The archives' declared size does not fit the free disk space.
    NoSpace = 3,
    /// A file to be replaced (or put back) is held open by another program.
    HeldOpen = 4,
    /// A copy failed or did not match its entry's size and CRC-32, or a file
    /// could not be extracted or moved aside.
    CopyFailed = 5,
    /// The caller asked the step to stop.
    Stopped = 6,
    /// Another step with the same staging folder (another process) did not
    /// end within the wait; nothing was touched.
    Busy = 7,
    /// The journal of an earlier step cannot be read, or old copies lie
    /// beside it that it does not name: everything is kept as it is.
    JournalDamaged = 8,
    /// An earlier step waits for its caller to conclude it (concludi_passo):
    /// it may have been recorded, so the library does not roll it back.
    AwaitingConclusion = 9,
    /// A path of the step is too long for the copying tool.
    PathTooLong = 10,
    /// A folder of the program's folder is a file in the new build and holds
    /// files the archives do not name (perhaps the user's), which the library
    /// never deletes.
    FolderHoldsFiles = 11,
};
