// What a server or a list hands the download engine: URL splitting, the
// status line and header lines of an answer, and Content-Range. The parts of
// a URL are pieces of it in order; header values come without blanks at the
// ends; a Content-Range accepted is a range inside its total.
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "net/Http.h"
#include "net/HttpEngine.h"

using namespace fk;

namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void CheckUrl(const std::string& url) {
  std::string protocol, domain, path, user, password;
  const bool hasProtocol = GetURLProtocol(url, protocol) == 1;
  const bool hasDomain = GetURLDomain(url, domain) == 1;
  const bool hasPath = GetURLPath(url, path) == 1;
  const bool hasUser = GetURLUserPassword(url, user, password) == 1;
  FK_FUZZ_CHECK(hasProtocol ? url.rfind(protocol, 0) == 0 : protocol.empty(), url);
  FK_FUZZ_CHECK(hasDomain ? !domain.empty() && domain.find_first_of("/@") == std::string::npos : domain.empty(), url);
  FK_FUZZ_CHECK(hasPath ? path.front() == '/' && EndsWith(url, path) : path.empty(), url);
  FK_FUZZ_CHECK(hasUser ? !user.empty() && !password.empty() : user.empty() && password.empty(), url);
  if (hasDomain && hasPath) FK_FUZZ_CHECK(EndsWith(url, domain + path), url);
  if (hasProtocol && hasDomain && hasPath && hasUser)
    FK_FUZZ_CHECK(url == protocol + user + ":" + password + "@" + domain + path, url);
}

void CheckHeaders(std::string_view text) {
  HttpRequestHandle response;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    response.AddLine(std::string(text.substr(pos, nl - pos)));
    pos = nl + 1;
  }
  if (auto code = response.QueryInfo(HttpQuery::StatusCode))
    FK_FUZZ_CHECK(code->find(' ') == std::string::npos, *code);
  (void)response.QueryInfo(HttpQuery::StatusText);
  for (HttpQuery q : {HttpQuery::ContentType, HttpQuery::ContentLength, HttpQuery::ContentRange,
                      HttpQuery::Location}) {
    if (auto v = response.QueryInfo(q)) {
      FK_FUZZ_CHECK(v->empty() || (v->front() != ' ' && v->front() != '\t'), *v);
      FK_FUZZ_CHECK(v->empty() || (v->back() != ' ' && v->back() != '\t'), *v);
    }
  }
}

void CheckContentRange(const std::string& value) {
  int64_t start = -2, last = -2, total = -2;
  if (httpengine::ParseContentRange(value, start, last, total)) {
    FK_FUZZ_CHECK(start >= 0 && last >= start, value);
    FK_FUZZ_CHECK(total == -1 || total > last, value);
  }
  // A range the engine itself would be sent reads back exactly.
  const int64_t a = static_cast<int64_t>(value.size()) * 7919, b = a + static_cast<int64_t>(value.size());
  const std::string sent = "bytes " + std::to_string(a) + "-" + std::to_string(b) + "/" + std::to_string(b + 1);
  FK_FUZZ_CHECK(httpengine::ParseContentRange(sent, start, last, total) && start == a && last == b && total == b + 1,
                sent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in = fuzz::AsText(data, size);
  const size_t nl = in.find('\n');
  CheckUrl(std::string(in.substr(0, nl)));
  CheckHeaders(in);
  CheckContentRange(std::string(in.substr(0, 128)));
  HttpRequestHandle response;
  response.AddLine("HTTP/1.1 206 Partial Content");
  response.AddLine("Content-Range: " + std::string(in.substr(0, 128)));
  if (auto range = response.QueryInfo(HttpQuery::ContentRange)) CheckContentRange(*range);
  return 0;
}
