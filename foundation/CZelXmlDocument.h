#pragma once
// CZelXmlDocument: an XML document of the system's dialect: a DOCTYPE name and a document node
// whose children are the top-level nodes (normally an optional declaration and one element).
// Copying a document shares its tree; the deep-copy constructor makes an independent one.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlNode.h"

#include <cstdint>

class CZelXmlDocument {
public:
    // The two layouts the system writes: files (CR LF) and central-server request bodies (LF).
    static constexpr char kIndent[] = "";
    static constexpr char kIndentStep[] = " ";
    static constexpr char kFileNewline[] = "\r\n";
    static constexpr char kRequestNewline[] = "\n";

    static constexpr char kDefaultDocType[] = "doc";
    static constexpr char kDefaultRootName[] = "Root";
    static constexpr int64_t kMaxFileSize = 31457280;  // bytes LoadFile reads at most (30 MiB)

    // An empty document named "doc" (no top-level nodes).
    CZelXmlDocument();
    CZelXmlDocument(const CZelXmlDocument& source, bool deep);
    CZelXmlDocument(const CZelXmlDocument& other) = default;
    CZelXmlDocument& operator=(const CZelXmlDocument& other) = default;
    CZelXmlDocument(CZelXmlDocument&& other) noexcept = default;
    CZelXmlDocument& operator=(CZelXmlDocument&& other) noexcept = default;

    // Replaces the content by one element `rootName` under the DOCTYPE `docType`. False (and
    // nothing changed) when memory runs out.
    bool Create(const CZelString& docType, const CZelString& rootName);

    // Parses `text`. On success the tree (and the DOCTYPE name, when the text names one) is
    // replaced; on failure the document is unchanged and the error text with its 1-based line
    // and column go to whichever outputs are given. The tree keeps the text's body alive: values
    // are read out of it when asked for, until they are replaced.
    bool Parse(const CZelString& text, CZelString* error = nullptr, int* line = nullptr,
               int* column = nullptr);

    // Reads at most 30 MiB of the file (mode "R|SrSw") and parses it as a document named "doc"
    // unless the text names another. False, unchanged, when the file cannot be read (no error
    // text) or does not parse. `fileErrorMode` 1 lets file failures be thrown instead.
    bool LoadFile(const CZelString& fileName, int fileErrorMode = 0, CZelString* error = nullptr,
                  int* line = nullptr, int* column = nullptr);

    // The whole text; a negative initial size means 131,072 bytes. "" when it cannot be built.
    CZelString ToText(int32_t initialSize = -1, const CZelString& indent = kIndent,
                      const CZelString& indentStep = kIndentStep,
                      const CZelString& newline = kFileNewline) const;
    // The layout of request bodies for the central server.
    CZelString ToRequestText() const { return ToText(-1, kIndent, kIndentStep, kRequestNewline); }

    // Writes ToText to the file, with a UTF-8 byte order mark in front when the first
    // declaration has encoding="utf-8". The file is replaced atomically (a temporary file beside
    // it, flushed, then renamed), so a failure or crash leaves the old content.
    bool SaveFile(const CZelString& fileName, int fileErrorMode = 0, const CZelString& indent = kIndent,
                  const CZelString& indentStep = kIndentStep,
                  const CZelString& newline = kFileNewline) const;

    // Converts attribute and text values from the code page (-1: the one the first declaration
    // names, "windows-1251") to UTF-8 and sets every declaration's encoding to "utf-8". A
    // document already declared "utf-8" is left alone. False, with nothing changed, when the
    // code page is unknown (no declaration, or an encoding other than the two).
    bool ConvertToUtf8(int codePage = -1);

    CZelXmlNode RootElement() const;
    CZelXmlNode DocumentNode() const { return m_node; }
    const CZelString& DocTypeName() const noexcept { return m_docType; }
    void SetDocTypeName(const CZelString& name) { m_docType = name; }

private:
    CZelXmlNode FirstDeclaration() const;

    CZelString m_docType;
    CZelXmlNode m_node;
};
