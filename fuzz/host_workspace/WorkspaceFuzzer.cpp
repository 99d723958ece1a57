// Feeds arbitrary bytes to the workspace file reader, as a workspace file
// from anywhere could hold them. Whatever it accepts must come back unchanged
// when it is written and read again: a host that loads a workspace and saves
// it must not alter it.
#include <Velantor/Properties.h>
#include <Velantor/WorkspaceFile.h>

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Qt 5.15's JSON parser loses the array or object of an object member whose
// name comes again later in the same object ({"a": [1], "a": 2}). The leak is
// Qt's and bounded by the file; our code keeps no Qt allocation of its own
// beyond the values that own them, so leaks from inside Qt are not reported.
extern "C" const char* __lsan_default_suppressions() { return "leak:libQt5Core.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using Velantor::Properties;
    using Velantor::WorkspaceFile;
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<int>(size));
    Properties tree;
    int version = -1;
    std::string error;
    if (!WorkspaceFile::fromJson(text, tree, version, &error)) {
        if (error.empty()) {
            std::fprintf(stderr, "refused without a reason\n");
            std::abort();
        }
        return 0;
    }
    const QByteArray written = WorkspaceFile::toJson(tree, version);
    Properties back;
    int backVersion = -1;
    if (!WorkspaceFile::fromJson(written, back, backVersion, &error)) {
        std::fprintf(stderr, "its own text refused: %s\n%s\n", error.c_str(), written.constData());
        std::abort();
    }
    // Compared as text, where NaN equals NaN.
    const QByteArray again = WorkspaceFile::toJson(back, backVersion);
    if (backVersion != version || again != written) {
        std::fprintf(stderr, "changed on the way:\n%s\n---\n%s\n", written.constData(),
                     again.constData());
        std::abort();
    }
    return 0;
}
