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
};
