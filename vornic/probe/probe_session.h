// The one-exchange rule: a probe session is held by the download job for its
// whole run and by a button command for its own duration. Taking it never
// waits; whoever finds it taken is refused.
#pragma once

namespace vornic_probe {

class ProbeSession {
  public:
    // Tries to take the session; Held() tells whether it was taken.
    ProbeSession();
    // Releases the session if held (on whichever thread it now lives).
    ~ProbeSession();
    ProbeSession(ProbeSession&& other) noexcept;
    ProbeSession& operator=(ProbeSession&& other) noexcept;
    ProbeSession(const ProbeSession&) = delete;
    ProbeSession& operator=(const ProbeSession&) = delete;

    bool Held() const { return m_held; }
    void Release();

  private:
    bool m_held;
};

// True while some session is held.
bool ProbeSessionTaken();

// Logs the bilingual busy message; for callers whose session was refused.
void LogDeviceBusy();

}  // namespace vornic_probe
