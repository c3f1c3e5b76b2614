#pragma once

#include "base/FileDescriptor.h"
#include "conversion/ConversionDocument.h"
#include "pool/Wire.h"

#include <string>

namespace folioxa {

// What a worker draws with: one open document at a time.
class WorkerEngine {
public:
    virtual ~WorkerEngine() = default;
    // Closes the document open before, then opens the one in `file` (read through the
    // descriptor; `job.FileName` only names it). Throws the opening's error.
    virtual ConversionDocument& Open(const DocumentJob& job, FileDescriptor file) = 0;
};

// A worker's life: documents and entries from the parent, for each entry exactly what the serial
// run does (the page from the entry's text, its pixel size and checks, then, once the parent
// lets it, the page drawn on white and encoded), the file's bytes back to the parent. Ends at
// the end of the parent's stream; returns the process's exit code.
int RunWorkerLoop(Channel& channel, WorkerEngine& engine);

} // namespace folioxa
