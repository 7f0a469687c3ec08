// Replacing a file's whole content so that a crash, a full disk or a reader at the wrong moment
// sees either the old file or the new one, never a part.
//
// The content goes to a temporary file in the same folder, named `.<file name>.<random>.tmp` (a
// leading dot, so that folder listings can skip writes in progress), is flushed to the disk, and
// is renamed over the file; then the folder is flushed so the rename itself survives a crash. An
// existing file keeps its permission bits; a new one gets `newFileMode` less the process's umask,
// as a file that open() creates would (POSIX permission bits; Windows has none, and there the
// rename itself is written through to the disk before it returns). A file only its owner may read
// asks for 0600.
// An existing file the process may not write is never replaced, though the folder would let the
// rename do it: the write fails with EACCES (Windows refuses to move over a read-only file).
// On any failure the temporary file is removed, the old file stays as it was, and the error names
// the failing step with the system's code.
//
// A writer that is killed, or whose machine stops, leaves its temporary file behind; the next
// write of the same file removes it. A writer holds its temporary file from its creation until it
// is renamed or removed (POSIX: an exclusive flock(); Windows: an open handle that lets no one else
// open the file alone), so a temporary file nobody holds is one whose writer has gone, and writes
// in progress in other processes are left alone. Readers never remove anything: they may lack the
// right to, and a read must not change the folder.
//
// On Windows a move that is refused because another program holds the file for a moment (virus
// scanners, indexers) is tried again for about 0.6 s before the write fails.
#pragma once

#include <string>
#include <string_view>

#include "toolkit/Error.h"

namespace toolkit {

enum class Existing { Replace, Keep };

// ErrorKind::None on success. Does not create missing folders. With Existing::Keep a file already
// at `path` (or one that appears there meanwhile) is never replaced: the write fails with EEXIST,
// on Windows too, so that callers test one code.
Error WriteFileAtomically(const std::string& path, std::string_view contents,
                          unsigned newFileMode = 0666, Existing existing = Existing::Replace);

}  // namespace toolkit
