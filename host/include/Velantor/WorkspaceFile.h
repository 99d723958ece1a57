#pragma once
// A workspace file: a tree of Properties (the root block "Workspace", its
// sub-block "Algorithms" with one block per algorithm) and the workspace
// format version the file was saved with, as JSON:
//
//   {"format": "velantor-workspace", "version": 34, "workspace": <block>}
//
// A block is {"name": text, "params": [...], "attributes": [[name, value], ...],
// "blocks": [<block>, ...]}, the last three left out when empty. A parameter
// is {"key": text, "kind": "bool"|"int"|"double"|"text"|"list", "value": ...,
// "type": n, "attributes": [[name, value], ...]}; "type" is left out when the
// parameter has no display type, "attributes" when it has none.
//
// Everything comes back exactly as it was: parameter order, repeated
// sub-block names and their order, every value. Integers outside
// +-(2^53 - 1), which a JSON number cannot carry exactly to every reader, are
// written as decimal text; a double that JSON has no number for (NaN, the
// infinities, negative zero) as the text "nan", "inf", "-inf" or "-0".
//
// Reading trusts nothing in the file: a file larger than 16 MB, anything but
// the layout above (unknown members included), blocks nested deeper than
// 64 levels or a block with more than 10000 parameters are refused with the reason and where it was
// found, and the output arguments are left as they were.
#include <Velantor/Filesystem.h>
#include <Velantor/Properties.h>

#include <QByteArray>

#include <string>

namespace Velantor {

class WorkspaceFile {
public:
    // The workspace format version of this host: the version its files carry.
    // A conversion registered for version V applies to files saved below V.
    static constexpr int kFormatVersion = 34;
    static constexpr const char* kFormatName = "velantor-workspace";
    static constexpr long long kMaxFileSize = 16LL * 1024 * 1024;
    static constexpr int kMaxDepth = 64;
    static constexpr int kMaxParams = 10000;  // in one block

    // Writes the tree with kFormatVersion. The file is replaced in one step
    // (a temporary file in the same directory, renamed over the target), so
    // that a failed or interrupted write leaves the previous file as it was.
    // Refuses a tree this host could not read back: deeper than kMaxDepth,
    // a block with more than kMaxParams parameters, a text that is not UTF-8,
    // or a file larger than kMaxFileSize.
    static bool write(const Filesystem::Path& path, const Properties& workspace,
                      std::string* error);
    static bool read(const Filesystem::Path& path, Properties& workspace, int& savedVersion,
                     std::string* error);

    // The file's text. Does not check the tree: write() does.
    static QByteArray toJson(const Properties& workspace, int version);
    static bool fromJson(const QByteArray& text, Properties& workspace, int& savedVersion,
                         std::string* error);
};

}  // namespace Velantor
