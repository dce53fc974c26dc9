// The body side of the HTTP engine: accepting the final answer, the file the
// body goes to, the reads, and the end of a transfer.
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "net/Http.h"
#include "net/HttpEngine.h"
#include "platform/UserFolders.h"

namespace fk::httpengine {

bool ParseContentRange(const std::string& value, int64_t& start, int64_t& last, int64_t& total) {
  size_t i = 0;
  auto number = [&](int64_t& out) {
    if (i >= value.size() || !std::isdigit(static_cast<unsigned char>(value[i]))) return false;
    int64_t v = 0;
    for (; i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])); ++i) {
      if (v > (INT64_MAX - 9) / 10) return false;
      v = v * 10 + (value[i] - '0');
    }
    out = v;
    return true;
  };
  while (i < value.size() && !std::isdigit(static_cast<unsigned char>(value[i]))) {
    if (value[i] == '*') return false;
    ++i;
  }
  if (!number(start) || i >= value.size() || value[i] != '-') return false;
  ++i;
  if (!number(last) || last < start) return false;
  while (i < value.size() && value[i] == ' ') ++i;
  if (i >= value.size() || value[i] != '/') return false;
  ++i;
  if (i < value.size() && value[i] == '*') {
    total = -1;
    return true;
  }
  return number(total) && last < total;
}

bool Engine::OnFinalHeaders(long status) {
  t_.ResponseHeaders = response_.HeaderLines();
  Log(std::string(kP) + "Send HTTP Request .............. OK");
  Log(std::string(kP) + "iStatusCode=" + std::to_string(status));
  if (auto text = response_.QueryInfo(HttpQuery::StatusText))
    Log(std::string(kP) + "#HTTP_QUERY_STATUS_TEXT=" + *text);
  if (status == 401 && !credentialsTried_) {
    needCredentials_ = true;
    return false;
  }
  if (status != 200 && status != 206) {
    t_.iStatusCode = static_cast<int>(status);
    abortCode_ = WEB_HTTP_STATUS;
    return false;
  }
  bool first = t_.iResumeAttemptsNumber == 0;
  if (!first) {
    // The continuation must start exactly at the first byte not yet received.
    // When the length is known, the part must run to its end and belong to a
    // body of that length: a different total means the file on the server
    // changed, and its tail appended to what is here would be a corrupt file.
    int64_t start = -1, last = -1, total = -1;
    auto range = response_.QueryInfo(HttpQuery::ContentRange);
    const bool parsed = range && ParseContentRange(*range, start, last, total);
    const bool sameBody = t_.iSize <= 0 || ((total < 0 || total == t_.iSize) && last == t_.iSize - 1);
    if (status == 200 && !restarted_ && FileMode()) {
      // The server ignores ranges, or its file changed (If-Range): this is the
      // whole body again, so the file starts over once. A second whole body
      // ends the transfer, as every further resume would do the same.
      Log(std::string(kP) + "the server sent the whole body again; the download restarts from byte 0");
      restarted_ = true;
      if (::ftruncate(file_.get(), 0) != 0 || ::lseek(file_.get(), 0, SEEK_SET) != 0) {
        Log(std::string(kP) + "Error writing to the file " + tempName_ + " " + GetInternetErrorText(errno, 0));
        abortCode_ = WEB_WRITE_FILE;
        return false;
      }
      received_ = 0;
      pending_ = 0;
      first = true;
    } else if (status != 206 || !parsed || start != received_ || !sameBody) {
      Log(std::string(kP) + "the server did not resume at byte " + std::to_string(received_) +
          " (status " + std::to_string(status) + ", Content-Range: " + range.value_or("none") + ")");
      t_.iStatusCode = static_cast<int>(status);
      abortCode_ = WEB_RESUME_REFUSED;
      return false;
    }
  }
  if (first && !FirstAnswer()) return false;
  accepted_ = true;
  if (t_.CallbackStart) t_.CallbackStart(t_, response_);
  return true;
}

// The answer that carries the body from its first byte: its length, the
// validator a resume sends back, the read size and the file.
bool Engine::FirstAnswer() {
  int64_t length = 0;
  if (auto cl = response_.QueryInfo(HttpQuery::ContentLength)) {
    char* end = nullptr;
    const long long v = std::strtoll(cl->c_str(), &end, 10);
    if (end != cl->c_str() && v > 0) length = v;
  }
  t_.iSize = length;
  validator_.clear();
  std::string lastModified;
  for (size_t i = 1; i < response_.HeaderLines().size(); ++i) {
    const std::string& l = response_.HeaderLines()[i];
    const size_t colon = l.find(':');
    if (colon == std::string::npos) continue;
    std::string name = l.substr(0, colon);
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    size_t v = colon + 1;
    while (v < l.size() && (l[v] == ' ' || l[v] == '\t')) ++v;
    std::string value = l.substr(v);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    // Weak tags ("W/...") cannot guard a range.
    if (name == "etag" && value.size() >= 2 && value.front() == '"') validator_ = value;
    if (name == "last-modified") lastModified = value;
  }
  if (validator_.empty()) validator_ = lastModified;
  if (t_.iBufferSize > 0)
    readSize_ = static_cast<size_t>(t_.iBufferSize);
  else if (length >= 1 && length <= kHttpWholeBodyMax)
    readSize_ = static_cast<size_t>(length);
  else
    readSize_ = kHttpAutoReadSize;
  if (!FileMode()) {
    if (length > opt_.memoryBodyMax) {
      Log(std::string(kP) + "A body of " + std::to_string(length) + " bytes is more than a list may have");
      abortCode_ = WEB_OUT_OF_MEMORY;
      return false;
    }
    try {
      t_.Buffer.reserve(readSize_);
    } catch (const std::bad_alloc&) {
      Log(std::string(kP) + "Out of memory for a read block of " + std::to_string(readSize_) + " bytes");
      abortCode_ = WEB_OUT_OF_MEMORY;
      return false;
    }
  }
  if (FileMode() && !file_.valid() && !CreateTempFile()) {
    Log(std::string(kP) + "Cannot create the file " + t_.FullFileName + " " + GetInternetErrorText(errno, 0));
    abortCode_ = WEB_CREATE_FILE;
    return false;
  }
  return true;
}

// Creates the file the body goes to: a new hidden name in the target's folder,
// never an existing file and never through a link.
bool Engine::CreateTempFile() {
  const std::string& target = t_.FullFileName;
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string base = (slash == std::string::npos ? target : target.substr(slash + 1)).substr(0, 200);
  thread_local std::mt19937 gen{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%06x.part", static_cast<unsigned>(gen() & 0xFFFFFF));
    const std::string name = dir + "." + base + suffix;
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      file_.reset(fd);
      tempName_ = name;
      platform::GiveToUser(name);  // the finished file belongs to the asking user
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool Engine::WriteOut(const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(file_.get(), data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      Log(std::string(kP) + "Error writing to the file " + t_.FullFileName + " " +
          GetInternetErrorText(w < 0 ? errno : EIO, 0));
      return false;
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

size_t Engine::OnBody(const char* data, size_t n) {
  if (!accepted_) return n;
  size_t done = 0;
  while (done < n) {
    const size_t take = std::min(n - done, readSize_ - pending_);
    if (FileMode()) {
      // Straight from libcurl's buffer into the file; reads are counted, not copied.
      if (!WriteOut(data + done, take)) {
        abortCode_ = WEB_WRITE_FILE;
        return 0;
      }
    } else {
      if (static_cast<int64_t>(t_.Buffer.size() + take) > opt_.memoryBodyMax) {
        Log(std::string(kP) + "The body passed " + std::to_string(opt_.memoryBodyMax) +
            " bytes, more than a list may have");
        abortCode_ = WEB_OUT_OF_MEMORY;
        return 0;
      }
      try {
        const auto* bytes = reinterpret_cast<const unsigned char*>(data) + done;
        t_.Buffer.insert(t_.Buffer.end(), bytes, bytes + take);
      } catch (const std::bad_alloc&) {
        Log(std::string(kP) + "Out of memory after " + std::to_string(received_) + " bytes");
        abortCode_ = WEB_OUT_OF_MEMORY;
        return 0;
      }
    }
    pending_ += take;
    done += take;
    if (pending_ == readSize_) {
      if (int code = DeliverRead()) {
        abortCode_ = code;
        return 0;
      }
    }
  }
  return n;
}

// Ends one read: checks the file's length and reports the read to the progress callback.
int Engine::DeliverRead() {
  if (pending_ == 0) return 0;
  if (FileMode()) {
    struct stat st {};
    if (::fstat(file_.get(), &st) != 0 || st.st_size != received_ + static_cast<int64_t>(pending_)) {
      Log(std::string(kP) + "the file " + t_.FullFileName + " does not have the length received");
      return WEB_WRITE_FILE;
    }
  }
  received_ += static_cast<int64_t>(pending_);
  pending_ = 0;
  if (t_.CallbackWorking && t_.CallbackWorking(t_, received_, t_.iSize, ElapsedS()) == 0) return WEB_ABORTED;
  return 0;
}

int Engine::FinishBody() {
  if (int code = DeliverRead()) return code;
  if (FileMode()) {
    struct stat st {};
    const bool synced = ::fdatasync(file_.get()) == 0;
    if (!synced || ::fstat(file_.get(), &st) != 0 || st.st_size != received_) {
      Log(std::string(kP) + "Error writing to the file " + t_.FullFileName +
          (synced ? std::string() : " " + GetInternetErrorText(errno, 0)));
      return WEB_WRITE_FILE;
    }
    if (file_.Close() != 0) {
      Log(std::string(kP) + "Error closing the file " + t_.FullFileName + " " + GetInternetErrorText(errno, 0));
      return WEB_WRITE_FILE;
    }
  } else {
    t_.Buffer.shrink_to_fit();
  }
  t_.iTotBytesRead = received_;
  if (t_.iSize > 0 && t_.iSize != t_.iTotBytesRead) {
    Log("> HTTPGetFromWeb: Original FileSize = " + std::to_string(t_.iSize) +
        " <> tHTTP\\iTotBytesRead = " + std::to_string(t_.iTotBytesRead));
    return WEB_WRITE_FILE;
  }
  Log("> HTTPGetFromWeb: tHTTP\\iTotBytesRead = " + std::to_string(t_.iTotBytesRead));
  Log("> HTTPGetFromWeb: Original FileSize = " + std::to_string(t_.iSize));
  if (FileMode()) {
    // The complete file takes the target's name (a link there is replaced, not followed).
    if (::rename(tempName_.c_str(), t_.FullFileName.c_str()) != 0) {
      Log(std::string(kP) + "Cannot create the file " + t_.FullFileName + " " + GetInternetErrorText(errno, 0));
      return WEB_CREATE_FILE;
    }
    tempName_.clear();
  }
  return WEB_OK;
}

void Engine::CloseHandles() {
  curl_.reset();
  headers_.reset();
}

int Engine::End(int code) {
  CloseHandles();
  t_.iHTTPRetVal = code;
  if (!ended_) {
    ended_ = true;
    if (t_.CallbackEnd) {
      try {
        t_.CallbackEnd(t_, code, received_, t_.iSize, ElapsedS());
      } catch (...) {
        Log(std::string(kP) + "the end callback failed");
      }
    }
  }
  if (FileMode()) {
    std::vector<unsigned char>().swap(t_.Buffer);
    // A failed transfer leaves nothing behind; a file of the target's name was never touched.
    file_.Close();
    if (!tempName_.empty()) {
      if (::unlink(tempName_.c_str()) == 0 || errno == ENOENT)
        Log(std::string(kP) + "partial file deleted: " + tempName_);
      else
        Log(std::string(kP) + "cannot delete the partial file " + tempName_ + " " + GetInternetErrorText(errno, 0));
      tempName_.clear();
    }
  }
  Log(std::string(kP) + "iHTTPRetVal=" + std::to_string(code));
  t_.busy.v.store(false);
  return code;
}

int Engine::Abandon(int code) {
  // Failed before the record was taken: it belongs to another transfer.
  if (!ownsRecord_) return WEB_PARAMETERS;
  try {
    return End(code);
  } catch (...) {
    file_.Close();
    if (!tempName_.empty()) ::unlink(tempName_.c_str());
    t_.iHTTPRetVal = code;
    t_.busy.v.store(false);
    return code;
  }
}

}  // namespace fk::httpengine
