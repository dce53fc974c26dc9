#include "net/CatalogWalk.h"

#include <expat.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "app/Log.h"
#include "net/SuCatalog.h"

namespace fk {

namespace {

constexpr size_t kChunk = 256 * 1024;
constexpr size_t kMaxLeafText = 64 * 1024;  // no value of a catalog comes near this

struct ParserDeleter {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};
using ParserPtr = std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserDeleter>;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool IsContainer(const char* name) {
  return std::strcmp(name, "dict") == 0 || std::strcmp(name, "array") == 0 || std::strcmp(name, "plist") == 0;
}

// An http(s) address with nothing in it that could end a line or a field.
bool IsPlainHttpUrl(const std::string& url) {
  const std::string low = Lower(url.substr(0, 8));
  if (low.rfind("http://", 0) != 0 && low.rfind("https://", 0) != 0) return false;
  for (unsigned char c : url)
    if (c <= 0x20 || c == 0x7F || c == '"' || c == '\\') return false;
  return true;
}

bool AllDigits(const std::string& s) {
  if (s.empty() || s.size() > 18) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool IsDigest(const std::string& s) {
  if (s.empty() || s.size() > 128) return false;
  for (unsigned char c : s)
    if (!std::isalnum(c)) return false;
  return true;
}

int LeadingNumber(const std::string& text) {
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || v > 100000) break;
    v = v * 10 + (c - '0');
  }
  return v;
}

// Feeds text to a parser in blocks; stops early when the handlers stopped it.
// Returns false on a parse error that the handlers did not cause.
bool Feed(XML_Parser p, std::string_view xml, const std::function<bool()>& keepGoing, bool* cancelled,
          std::string* error, int* line, int* column) {
  size_t off = 0;
  do {
    if (keepGoing && !keepGoing()) {
      if (cancelled) *cancelled = true;
      return true;
    }
    const size_t n = std::min(kChunk, xml.size() - off);
    const bool last = off + n == xml.size();
    if (XML_Parse(p, xml.data() + off, static_cast<int>(n), last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
      if (XML_GetErrorCode(p) == XML_ERROR_ABORTED) return true;  // stopped by a handler
      if (error) *error = XML_ErrorString(XML_GetErrorCode(p));
      if (line) *line = static_cast<int>(XML_GetCurrentLineNumber(p));
      if (column) *column = static_cast<int>(XML_GetCurrentColumnNumber(p));
      return false;
    }
    off += n;
  } while (off < xml.size());
  return true;
}

// Property lists never declare entities; refusing them keeps entity
// expansion out of the picture. S has members parser and entity.
template <class S>
void XMLCALL StopOnEntity(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
                          const XML_Char*, const XML_Char*) {
  auto* s = static_cast<S*>(data);
  s->entity = true;
  XML_StopParser(s->parser, XML_FALSE);
}

// ---------------------------------------------------------------------------
// The catalog walk.

enum class Role { Other, Plist, Top, Products, Product, Packages, Package, Distributions };

struct Frame {
  Role role = Role::Other;
  bool isDict = false;
  std::string key;
  bool keyPending = false;
};

struct PackageValues {
  std::string digest, size, metadataURL, url;
};

struct ProductValues {
  std::string id;
  std::string postDate;
  std::string english, en;
  std::vector<PackageValues> matches;
};

class CatalogWalker {
 public:
  CatalogWalker(XML_Parser p, std::string search) : parser(p), search_(Lower(std::move(search))) {}

  static void XMLCALL OnStart(void* d, const XML_Char* name, const XML_Char**) {
    static_cast<CatalogWalker*>(d)->Start(name);
  }
  static void XMLCALL OnEnd(void* d, const XML_Char* name) { static_cast<CatalogWalker*>(d)->End(name); }
  static void XMLCALL OnText(void* d, const XML_Char* s, int len) {
    auto* w = static_cast<CatalogWalker*>(d);
    if (!w->collecting_) return;
    if (w->text_.size() + static_cast<size_t>(len) > kMaxLeafText) {
      w->textTooLong_ = true;
      return;
    }
    w->text_.append(s, static_cast<size_t>(len));
  }

  void Start(const char* name) {
    collecting_ = false;
    if (!IsContainer(name)) {
      collecting_ = true;
      textTooLong_ = false;
      text_.clear();
      return;
    }
    const bool dict = std::strcmp(name, "dict") == 0;
    std::string key;
    Role parent = Role::Other;
    if (stack_.empty()) {
      if (std::strcmp(name, "plist") != 0 || seenRoot_)
        return Refuse("the document is <" + std::string(name).substr(0, 40) + ">");
      seenRoot_ = true;
      stack_.push_back(Frame{Role::Plist, false, {}, false});
      return;
    }
    Frame& top = stack_.back();
    parent = top.role;
    if (top.isDict && top.keyPending) key = top.key;
    top.keyPending = false;

    Role role = Role::Other;
    if (parent == Role::Plist && dict && !seenTop_) {
      role = Role::Top;
      seenTop_ = true;
    } else if (parent == Role::Top && dict && key == "Products") {
      role = Role::Products;
      seenProducts_ = true;
    } else if (parent == Role::Products && dict) {
      role = Role::Product;
      product_ = ProductValues{};
      product_.id = key;
      ++result.products;
    } else if (parent == Role::Product && !dict && key == "Packages") {
      role = Role::Packages;
    } else if (parent == Role::Packages && dict) {
      role = Role::Package;
      package_ = PackageValues{};
      ++result.packages;
    } else if (parent == Role::Product && dict && key == "Distributions") {
      role = Role::Distributions;
    }
    stack_.push_back(Frame{role, dict, {}, false});
  }

  void End(const char* name) {
    if (!IsContainer(name)) {
      if (collecting_ && !stack_.empty()) Leaf(name);
      collecting_ = false;
      return;
    }
    collecting_ = false;
    if (stack_.empty()) return;
    const Role role = stack_.back().role;
    stack_.pop_back();
    if (role == Role::Package) EndPackage();
    if (role == Role::Product) EndProduct();
  }

  void Leaf(const char* name) {
    Frame& f = stack_.back();
    if (!f.isDict) return;
    if (std::strcmp(name, "key") == 0) {
      f.key.swap(text_);
      f.keyPending = true;
      return;
    }
    if (!f.keyPending) return;
    f.keyPending = false;
    const std::string& key = f.key;
    if (textTooLong_) text_.clear();
    std::string& value = text_;
    const bool isString = std::strcmp(name, "string") == 0;
    switch (f.role) {
      case Role::Top:
        if (key == "CatalogVersion" && std::strcmp(name, "integer") == 0) result.catalogVersion = LeadingNumber(value);
        if (key == "IndexDate" && std::strcmp(name, "date") == 0) result.indexDate.swap(value);
        break;
      case Role::Product:
        if (key == "PostDate" && std::strcmp(name, "date") == 0) product_.postDate.swap(value);
        break;
      case Role::Package:
        if (key == "Digest" && isString)
          package_.digest.swap(value);
        else if (key == "Size" && std::strcmp(name, "integer") == 0)
          package_.size.swap(value);
        else if (key == "MetadataURL" && isString)
          package_.metadataURL.swap(value);
        else if (key == "URL" && isString)
          package_.url.swap(value);
        break;
      case Role::Distributions:
        if (key == "English" && isString)
          product_.english.swap(value);
        else if (key == "en" && isString)
          product_.en.swap(value);
        break;
      default:
        break;
    }
  }

  void EndPackage() {
    if (package_.url.empty() || Lower(package_.url).find(search_) == std::string::npos) return;
    if (!IsPlainHttpUrl(package_.url)) {
      Log("> ExtractXMLProductInfo: skipped a package with an unusable URL in product " + product_.id);
      return;
    }
    product_.matches.push_back(std::move(package_));
  }

  void EndProduct() {
    if (product_.matches.empty()) return;
    const int64_t when = ParseCatalogDate(product_.postDate);
    std::string dist = !product_.english.empty() ? product_.english : product_.en;
    if (!dist.empty() && !IsPlainHttpUrl(dist)) dist.clear();
    for (auto& p : product_.matches) {
      CatalogPackage c;
      c.rec.URL = p.url;
      c.rec.Digest = IsDigest(p.digest) ? p.digest : std::string();
      c.rec.Size = AllDigits(p.size) ? p.size : std::string();
      c.rec.MetadataURL = IsPlainHttpUrl(p.metadataURL) ? p.metadataURL : std::string();
      if (when >= 0) {
        c.rec.PostDate = when;
        c.rec.PostDateText = product_.postDate.substr(0, 10);
      }
      c.rec.ProductID = GetProductID(p.url);
      c.CatalogProductID = product_.id;
      if (c.rec.ProductID.empty()) {
        // The product's own key stands in when the URL names no product.
        bool plain = !product_.id.empty() && product_.id.size() < 64;
        for (unsigned char ch : product_.id) plain = plain && (std::isalnum(ch) || ch == '-' || ch == '_');
        if (plain) c.rec.ProductID = product_.id;
      }
      c.DistributionURL = dist;
      Log("> ExtractXMLProductInfo: Added: " + c.rec.URL);
      packages.push_back(std::move(c));
    }
  }

  void Refuse(const std::string& why) {
    if (refused_) return;
    refused_ = true;
    refusal_ = why;
    XML_StopParser(parser, XML_FALSE);
  }

  // After the parse: does what was read make a catalog?
  void Judge() {
    if (entity) {
      result.status = CatalogStatus::NotACatalog;
      result.message = "Not a software update catalog (it declares entities)";
    } else if (refused_) {
      result.status = CatalogStatus::NotACatalog;
      result.message = "Not a software update catalog (" + refusal_ + ")";
    } else if (!seenTop_ || !seenProducts_) {
      result.status = CatalogStatus::NotACatalog;
      result.message = "Not a software update catalog (no product list)";
    } else if (result.catalogVersion != 2) {
      result.status = CatalogStatus::NotACatalog;
      result.message = "Not a software update catalog (CatalogVersion " + std::to_string(result.catalogVersion) + ")";
    } else if (ParseCatalogDate(result.indexDate) < 0) {
      result.status = CatalogStatus::NotACatalog;
      result.message = "Not a software update catalog (no IndexDate)";
    } else if (result.indexDate.substr(0, 10) < kOldestCatalogIndexDate) {
      result.status = CatalogStatus::Outdated;
      result.message = "Outdated catalog (IndexDate " + result.indexDate.substr(0, 10) + ")";
    }
  }

  XML_Parser parser = nullptr;
  bool entity = false;
  CatalogWalkResult result;
  std::vector<CatalogPackage> packages;

 private:
  std::string search_;
  std::vector<Frame> stack_;
  bool collecting_ = false;
  bool textTooLong_ = false;
  std::string text_;
  bool seenRoot_ = false, seenTop_ = false, seenProducts_ = false;
  bool refused_ = false;
  std::string refusal_;
  ProductValues product_;
  PackageValues package_;
};

// ---------------------------------------------------------------------------
// The two small walks over package metadata and distribution files.

struct PkmState {
  XML_Parser parser = nullptr;
  bool entity = false;
  std::string identifier;
};

struct DistState {
  XML_Parser parser = nullptr;
  bool entity = false;
  bool inAuxinfo = false;
  bool afterBuildKey = false;
  bool collecting = false;
  std::string text;
  std::string build;
  std::string currentLeaf;
};

std::string TakeBuild(const std::string& candidate) { return IsBuildNumber(candidate) ? candidate : std::string(); }

}  // namespace

bool IsBuildNumber(const std::string& build) {
  if (build.size() < 3 || build.size() > 16 || !std::isdigit(static_cast<unsigned char>(build[0]))) return false;
  for (unsigned char c : build)
    if (!std::isalnum(c)) return false;
  return true;
}

int64_t ParseCatalogDate(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
  if (text.size() != 20 ||
      std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &y, &mo, &d, &h, &mi, &s, &used) != 6 || used != 20)
    return -1;
  if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return -1;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return static_cast<int64_t>(timegm(&tm));
}

CatalogWalkResult ExtractXMLProductInfo(std::string_view xml, const std::string& search,
                                        std::vector<CatalogPackage>& found, const std::function<bool()>& keepGoing) {
  ParserPtr p(XML_ParserCreate(nullptr));
  CatalogWalker w(p.get(), search);
  if (!p) {
    w.result.status = CatalogStatus::XmlError;
    w.result.message = "out of memory";
    return w.result;
  }
  XML_SetUserData(p.get(), &w);
  XML_SetElementHandler(p.get(), &CatalogWalker::OnStart, &CatalogWalker::OnEnd);
  XML_SetCharacterDataHandler(p.get(), &CatalogWalker::OnText);
  XML_SetEntityDeclHandler(p.get(), &StopOnEntity<CatalogWalker>);

  bool cancelled = false;
  CatalogWalkResult& r = w.result;
  if (!Feed(p.get(), xml, keepGoing, &cancelled, &r.message, &r.line, &r.column)) {
    r.status = CatalogStatus::XmlError;
    return r;
  }
  if (cancelled) {
    r.status = CatalogStatus::Cancelled;
    r.message = "Cancelled";
    return r;
  }
  w.Judge();
  if (r.status == CatalogStatus::Ok)
    for (auto& c : w.packages) found.push_back(std::move(c));
  return r;
}

std::string ExtractPkmBuild(std::string_view xml, std::string* error) {
  ParserPtr p(XML_ParserCreate(nullptr));
  if (!p) return {};
  PkmState st;
  st.parser = p.get();
  XML_SetUserData(p.get(), &st);
  XML_SetStartElementHandler(p.get(), [](void* d, const XML_Char*, const XML_Char** attrs) {
    auto* s = static_cast<PkmState*>(d);
    for (int i = 0; attrs[i] && attrs[i + 1]; i += 2) {
      if (std::strcmp(attrs[i], "identifier") == 0) {
        s->identifier = attrs[i + 1];
        std::string shown = s->identifier.substr(0, 200);
        for (char& c : shown)
          if (static_cast<unsigned char>(c) < 0x20) c = ' ';
        Log("> -> identifier=" + shown);
      }
    }
    XML_StopParser(s->parser, XML_FALSE);  // only the root element matters
  });
  XML_SetEntityDeclHandler(p.get(), &StopOnEntity<PkmState>);
  if (!Feed(p.get(), xml, {}, nullptr, error, nullptr, nullptr) || st.entity) return {};
  const size_t dot = st.identifier.find_last_of('.');
  if (dot == std::string::npos) return {};
  std::string build = st.identifier.substr(dot + 1);
  if (LeadingNumber(build.substr(0, 2)) < 9) return {};
  return TakeBuild(build);
}

std::string ExtractXMLBuild(std::string_view xml, std::string* error) {
  ParserPtr p(XML_ParserCreate(nullptr));
  if (!p) return {};
  DistState st;
  st.parser = p.get();
  XML_SetUserData(p.get(), &st);
  XML_SetElementHandler(
      p.get(),
      [](void* d, const XML_Char* name, const XML_Char**) {
        auto* s = static_cast<DistState*>(d);
        if (std::strcmp(name, "auxinfo") == 0) s->inAuxinfo = true;
        s->collecting = std::strcmp(name, "key") == 0 || std::strcmp(name, "string") == 0;
        s->currentLeaf = name;
        s->text.clear();
      },
      [](void* d, const XML_Char* name) {
        auto* s = static_cast<DistState*>(d);
        if (!s->collecting) return;
        s->collecting = false;
        if (std::strcmp(name, "key") == 0) {
          if (s->text == "BUILD") s->afterBuildKey = true;
        } else if (std::strcmp(name, "string") == 0 && s->inAuxinfo && s->afterBuildKey && s->build.empty()) {
          s->build = s->text;
          s->inAuxinfo = s->afterBuildKey = false;
        }
      });
  XML_SetCharacterDataHandler(p.get(), [](void* d, const XML_Char* t, int len) {
    auto* s = static_cast<DistState*>(d);
    if (s->collecting && s->text.size() < 256) s->text.append(t, static_cast<size_t>(len));
  });
  XML_SetEntityDeclHandler(p.get(), &StopOnEntity<DistState>);
  if (!Feed(p.get(), xml, {}, nullptr, error, nullptr, nullptr) || st.entity) return {};
  return TakeBuild(st.build);
}

}  // namespace fk
