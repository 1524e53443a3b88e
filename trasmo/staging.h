// New file contents written beside their target and put in place only when complete.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

namespace trasmo {

// A file written in full before it gets a name: an unnamed file (O_TMPFILE) where the file
// system offers them, else a named temporary file ".trasmo-XXXXXX". Discarded unless it was
// committed, so an abandoned one leaves nothing behind, or at most a name the next run sweeps.
class StagedFile {
  public:
    StagedFile() = default;
    StagedFile(StagedFile&& other) noexcept { *this = std::move(other); }
    StagedFile& operator=(StagedFile&& other) noexcept;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile();

    // Creates the file in folder `dir` with the mode, owner and group of `like` (as far as
    // the process may give them) and writes `data`; see created()/written().
    void Stage(const std::string& dir, std::string_view data, const struct stat& like);
    bool tried() const { return m_tried; }
    bool created() const { return m_created; }
    bool written() const { return m_written; }
    // errno of the step that failed (staging or commit); 0 when none did.
    int error() const { return m_error; }
    // Gives the complete file the name `target` in the same folder, replacing a file of that
    // name; false when it was not complete or could not be put there.
    bool Commit(const std::string& target);
    void Discard();
    // Keeps the file being replaced open (when few are held): once the commit has taken its
    // name, the last close frees its blocks on the closing thread, not inside the rename.
    void HoldReplaced(int fd);

  private:
    void DropHeld();

    std::size_t m_bytes = 0;  // written and not yet committed or discarded
    int m_held = -1;          // the file being replaced
    int m_fd = -1;            // unnamed file, open until it is committed or discarded
    std::string m_name;       // named temporary file
    bool m_tried = false, m_created = false, m_written = false;
    int m_error = 0;
};

// True for names of the form our temporary files take: ".trasmo-" and six letters or digits.
bool IsStagingName(std::string_view name);

// Staged files that hold an open descriptor, and the bytes of all staged files not yet
// committed; workers stop staging ahead above a limit of either.
int OpenStagedFiles();
std::size_t StagedBytes();

// Closes `fd` on a thread of its own. The last close of a file that lost its name frees its
// blocks, which on a file system mounted with discard waits for the device.
void CloseInBackground(int fd);
// Returns when every descriptor handed to CloseInBackground is closed.
void WaitForBackgroundCloses();

}  // namespace trasmo
