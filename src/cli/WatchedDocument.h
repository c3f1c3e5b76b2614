#pragma once

#include "conversion/ConversionDocument.h"
#include "imaging/PageBitmap.h"

namespace folioxa {

// Passes every call on to a document and remembers whether opening it failed, so that the tool
// can tell "the document could not be opened" (exit code 3) from a failed conversion.
class TWatchedDocument : public ConversionDocument {
public:
    explicit TWatchedDocument(ConversionDocument& document) : FDocument(document) {}

    void SetFileName(const std::string& fileName) override { FDocument.SetFileName(fileName); }
    void SetPassword(const std::string& password) override { FDocument.SetPassword(password); }
    void SetActive(bool active) override;
    int PageCount() override { return FDocument.PageCount(); }
    void SetPageNumber(int pageNumber) override { FDocument.SetPageNumber(pageNumber); }
    double PageWidth() override { return FDocument.PageWidth(); }
    double PageHeight() override { return FDocument.PageHeight(); }
    std::unique_ptr<PageBitmap> RenderPageOnWhite(int width, int height) override {
        return FDocument.RenderPageOnWhite(width, height);
    }

    bool OpenFailed() const { return FOpenFailed; }

private:
    ConversionDocument& FDocument;
    bool FOpenFailed = false;
};

} // namespace folioxa
