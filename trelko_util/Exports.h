// The exports of trelko_util_r.dll as the library defines them and the
// launcher's binding calls them: the one-archive update, the installation
// step of several archives, and its conclusion. Paths are in the ANSI code
// page; the names are listed in trelko_util_r.def.
#pragma once

extern "C" {

/// One archive into destination through staging; compareContent non-zero
/// compares content at equal times. True on success.
bool __cdecl aggiorna_files(const char* archive, const char* staging, const char* destination, int compareContent);

/// Several archives into one folder as one step. mode: kStepCompareContent
/// and kStepRepair (every file whose size or CRC-32 differs from its entry is
/// copied again). stop, when given, is read between files and during each
/// copy; a non-zero value stops the step. tag (may be null) is kept with the
/// pending step. progress (may be null) is called on the caller's thread with
/// context and the index of each archive, in order, as its files' turn comes.
/// Returns a SyncResult value; failedArchive (may be null) receives the index
/// of a refused archive, else -1. A step that returns 0 stays pending until
/// concludi_passo; any other result has put the folder back already, or
/// (7 busy, 8 damaged journal, 9 an earlier step awaiting concludi_passo)
/// touched nothing.
int __cdecl aggiorna_passo(const char* const* archives, int count, const char* staging, const char* destination,
                           int mode, const volatile long* stop, const char* tag, int* failedArchive,
                           void(__cdecl* progress)(void* context, int archive), void* context);

/// Concludes the step pending with staging: keep non-zero makes it stand
/// (its old copies are dropped), zero puts the folder back. True when no step
/// is pending afterwards.
bool __cdecl concludi_passo(const char* staging, int keep);

/// True when a step is pending with staging; its tag is copied into tag
/// (size bytes with the terminating NUL, cut when longer).
bool __cdecl passo_in_sospeso(const char* staging, char* tag, int size);
}

/// The bits of aggiorna_passo's mode.
constexpr int kStepCompareContent = 1;
constexpr int kStepRepair = 2;

/// The exports' types, for a caller that loads the library at run time.
using AggiornaFilesFn = decltype(&aggiorna_files);
using AggiornaPassoFn = decltype(&aggiorna_passo);
using ConcludiPassoFn = decltype(&concludi_passo);
using PassoInSospesoFn = decltype(&passo_in_sospeso);
