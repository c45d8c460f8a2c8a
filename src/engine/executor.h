// The executor: every call of a run to its site goes through Execute, which
// connects when the session is gone, makes the call a label names with the
// operands set for it, and on failure says why, waits and tries again a
// limited number of times, with a pause that may double and that steps up
// when the server has too many connections. It knows nothing of the jobs it
// serves: a run gives it a log, a way to wait and a way to end.
#pragma once

#include <string>

#include "engine/run_events.h"
#include "engine/run_settings.h"
#include "net/certificate_check.h"
#include "site/site_connection.h"

namespace kestova {

class Executor {
 public:
  // What the executor needs of the run it serves.
  class Owner {
   public:
    virtual void Log(const std::string& line) = 0;
    virtual void Emit(RunEvent::Kind kind, const std::string& path, std::int64_t bytes = 0, std::int64_t files = 0) = 0;
    // Waits n seconds, ending early when the run ends.
    virtual void PauseSeconds(int n) = 0;
    virtual bool Terminated() const = 0;
    virtual void Terminate() = 0;

   protected:
    ~Owner() = default;
  };

  // What the next call works on, as the labels name it: the remote file (or
  // folder, for MKD and RMD), the folder it is in, the new name of a
  // rename, and the local side of an upload (a file, or a stream in memory
  // such as the page being sent; naming one forgets the other).
  // Where a download goes: every attempt starts it afresh.
  class Sink : public DataStream {
   public:
    virtual void Restart() = 0;
  };

  struct Operands {
    std::string file;
    std::string folder;
    std::string rename_to;
    std::string local_file;
    MemoryStream* stream = nullptr;
    Sink* sink = nullptr;  // what "get" receives into
    void SetLocalFile(const std::string& name) {
      local_file = name;
      if (!name.empty()) stream = nullptr;
    }
    void SetStream(MemoryStream* source) {
      stream = source;
      if (source) local_file.clear();
    }
  };

  // The last rename: which half the server refused, and whether that came
  // on the first attempt, before any lost connection.
  struct RenameTry {
    SiteConnection::RenameRefusal refused = SiteConnection::RenameRefusal::None;
    bool sent = false;
    bool first_attempt = true;
  };

  Executor(Owner& run, const RunSettings& settings, SiteConnection& site)
      : run_(run), settings_(settings), site_(site) {}

  // Makes the call that `label` names ("cwd", "mkd", "put", "dir", ...; an
  // empty label only connects) in `param`'s folder, with its retries.
  // With `ignore_failure`, a refusal that left the session standing counts
  // as done (LastDone tells the call's own result).
  bool Execute(const std::string& param, const std::string& label, bool ignore_failure);
  // A listing through Execute: "dir" (long), "mlsd" (facts) or "ls" (names).
  bool List(const std::string& directory, const char* label, RemoteListing& listing, bool may_fail);

  Operands& Next() { return op_; }
  const Operands& Next() const { return op_; }
  // The last call's own result, why its last attempt failed, and whether
  // that was on this side.
  bool LastDone() const { return operation_ok_; }
  const std::string& LastFailure() const { return failure_; }
  bool FailedHere() const { return failed_here_; }
  // "Connection retries all failed." was written, or a connect can never
  // succeed: nothing more is sent.
  // A further session that closed (Withdrawn) sends nothing more either.
  bool GaveUp() const { return gave_up_ || withdrawn_; }
  RenameTry& LastRename() { return rename_; }
  // The session's transfer type: 1 binary, 0 ASCII, -1 not set yet (a new
  // session starts in the server's default).
  int SessionType() const { return session_type_; }
  void SetSessionType(int type) { session_type_ = type; }
  const CertificateCheck& RefusedCertificate() const { return refused_certificate_; }
  bool DataCertificateRefused() const { return data_certificate_refused_; }
  // The host key the run could not connect with: "ED25519 SHA256:...", and
  // whether another key is known for the host; key empty when none.
  struct RefusedKey {
    std::string key;
    bool changed = false;
  };
  const RefusedKey& RefusedHostKey() const { return refused_host_key_; }

  // A further session of several: when it cannot connect (the server has
  // too many connections, say) it closes and leaves the run to the others,
  // without the retry rules' pauses; Withdrawn tells.
  void CloseWhenRefused() {
    extra_ = true;
    method_said_ = true;  // the first session named it
  }
  bool Withdrawn() const { return withdrawn_; }
  // Sessions it has connected so far.
  int Connects() const { return connects_; }

  // The user stopped the run: it ends, and the call under way at once.
  void Stop();
  // The run is over: QUIT, or after giving up nothing, not even QUIT.
  void Close();

 private:
  // One Execute call: what it was asked, and how far its attempts have got.
  struct Attempt {
    std::string param;
    std::string label;
    bool ignore_failure = false;
    int pause_now = 0;
    int retries_left = 0;
    int step = 0;  // the too-many-connections step-up; a retry with a step does not wait
    bool first = true;
    bool cannot_connect = false;  // a login refused, or one that cannot be sent
  };
  enum class Connection { Made, Retry, Impossible };

  bool AttemptCommand(Attempt& attempt);
  bool PauseBeforeRetry(Attempt& attempt);
  Connection Reconnect(Attempt& attempt);
  Connection StepUp(Attempt& attempt);
  void AfterConnect(const Attempt& attempt);
  void ReportGivingUp(const Attempt& attempt);
  void RemoveStoppedUpload(const std::string& remote);
  Outcome RunLabel(const std::string& label);
  // Keeps why the last attempt failed (the outcome's reason, or the one
  // given) and whether it failed on this side.
  void Failed(const Outcome& outcome, const std::string& reason = std::string());
  std::string ConnectFailure(const Outcome& connected) const;
  void ReportRefusedCertificate();
  void LogSecurity();
  void GiveUp();

  Owner& run_;
  const RunSettings& settings_;
  SiteConnection& site_;
  Operands op_;
  RenameTry rename_;
  CertificateCheck refused_certificate_;
  RefusedKey refused_host_key_;
  bool data_certificate_refused_ = false;
  bool method_said_ = false;  // the modern method has been named in the log
  int session_type_ = -1;
  bool stopped_ = false;    // the user stopped the run
  bool stop_said_ = false;  // and the log has said so
  std::string failure_;
  bool failed_here_ = false;
  bool operation_ok_ = true;
  bool gave_up_ = false;
  bool extra_ = false;
  bool withdrawn_ = false;
  int connects_ = 0;
  // Where a listing goes, and what it lists (empty: the current folder).
  RemoteListing* listing_ = nullptr;
  std::string listing_what_;
};

}  // namespace kestova
