// Database sets on disk: the data directory, creation from a definition document, the demo set.
#pragma once
#include <string>
#include <vector>

#include "kxwin/cstring.h"

class KXProductStore {
public:
    // The data directory: $KX_PRODUCT_DATA, or "var" under the working directory.
    static std::string DataDirectory();
    // Path of the file that holds a database set (<data dir>/<name>.kxdb).
    static std::string SetPath(const CString &dbset);
    // Creates the data directory (0700) and, when it holds no database set yet, the demo set.
    // Runs once per process and data directory; safe from any thread.
    static void EnsureDataDirectory();
    // Names of the database sets in the data directory, sorted.
    static std::vector<CString> InstalledDbSets();

    // Creates a database set from a definition document into `directory` (replacing nothing: an
    // existing set of that name is an error). Returns the set's name. A bad document throws
    // KXException (KX_MSG_BAD_VALUE) whose text names the line ("line N: ...").
    static CString CreateFromDefinition(const std::string &xml, const std::string &directory);
    static CString CreateFromDefinitionFile(const std::string &path, const std::string &directory);
    // The demo definition built into the library.
    static const std::string &DemoDefinition();

    // For a clean stop, once the threads that made product calls have ended: ends the checkpointer
    // and closes every connection that no running thread holds, the calling thread's included.
    // Closing a set's last connection checkpoints its write-ahead log and removes the log and its
    // shared-memory file. A later call opens connections again.
    static void CloseConnections();
    // Connections to database sets lent to threads or kept idle in this process, for tests.
    static int OpenConnections();
};

// The product's per-thread COM start; nothing is needed on Linux. Returns 0 (S_OK).
HRESULT callCoInitializeEx();
