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
    // Closes the document open before, then opens the one `request` names, in `file` (read
    // through the descriptor; the file name only names it), as quickly as a page count and the
    // password check allow; its pages are drawn as the request says. Throws the opening's error.
    virtual ConversionDocument& Open(const OpenRequest& request, FileDescriptor file) = 0;
    // Sets up what drawing the open document's pages needs beyond opening it (its form fields);
    // called once, before its first page is loaded. Throws the engine's error.
    virtual void PrepareDrawing() = 0;
};

// A worker's life: documents to open, pages to load and to draw into the page buffers the parent
// hands it, each answered on the wire (Opened, PageSize, Drawn, or Failed with the engine's own
// text). It never encodes, and never writes a file. Ends at the end of the parent's stream;
// returns the process's exit code. Throws on a frame the protocol refuses.
int RunWorkerLoop(Channel& channel, WorkerEngine& engine);

} // namespace folioxa
