// rcgen: turns a Windows resource script (.rc) into a C++ source holding the same strings,
// dialog templates and version information, so that the .rc stays their one source on systems
// without a resource compiler.
//
// It reads the subset of the resource-script language a plug-in's .rc uses (LANGUAGE,
// STRINGTABLE, DIALOG/DIALOGEX with the usual control statements, VERSIONINFO, "#include" of the
// project's resource header and "#define NAME number") and refuses anything else with the file,
// line and what it did not understand, so a change it cannot follow fails the build instead of
// silently dropping resources.
//
// Usage: rcgen INPUT.rc OUTPUT.cpp
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct ParseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& file, int line, const std::string& what) {
  throw ParseError(file + ":" + std::to_string(line) + ": error: " + what);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ParseError(path.string() + ": error: cannot open the file");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Values of the system header names a plug-in's .rc uses. The system headers themselves are
// not read: they are not available where this tool runs, and these values never change.
const std::map<std::string, std::int64_t>& SystemNames() {
  static const std::map<std::string, std::int64_t> names = {
      {"WS_OVERLAPPED", 0x00000000},
      {"WS_POPUP", 0x80000000},
      {"WS_CHILD", 0x40000000},
      {"WS_MINIMIZE", 0x20000000},
      {"WS_VISIBLE", 0x10000000},
      {"WS_DISABLED", 0x08000000},
      {"WS_CLIPSIBLINGS", 0x04000000},
      {"WS_CLIPCHILDREN", 0x02000000},
      {"WS_CAPTION", 0x00C00000},
      {"WS_BORDER", 0x00800000},
      {"WS_DLGFRAME", 0x00400000},
      {"WS_VSCROLL", 0x00200000},
      {"WS_HSCROLL", 0x00100000},
      {"WS_SYSMENU", 0x00080000},
      {"WS_THICKFRAME", 0x00040000},
      {"WS_GROUP", 0x00020000},
      {"WS_TABSTOP", 0x00010000},
      {"DS_3DLOOK", 0x4},
      {"DS_FIXEDSYS", 0x8},
      {"DS_SETFONT", 0x40},
      {"DS_MODALFRAME", 0x80},
      {"DS_CONTROL", 0x400},
      {"SS_LEFT", 0x0},
      {"SS_CENTER", 0x1},
      {"SS_RIGHT", 0x2},
      {"SS_NOTIFY", 0x100},
      {"BS_PUSHBUTTON", 0x0},
      {"BS_DEFPUSHBUTTON", 0x1},
      {"BS_CHECKBOX", 0x2},
      {"BS_AUTOCHECKBOX", 0x3},
      {"BS_GROUPBOX", 0x7},
      {"BS_AUTORADIOBUTTON", 0x9},
      {"ES_LEFT", 0x0},
      {"ES_AUTOHSCROLL", 0x80},
      {"LANG_NEUTRAL", 0x00},
      {"LANG_ENGLISH", 0x09},
      {"SUBLANG_NEUTRAL", 0x00},
      {"SUBLANG_DEFAULT", 0x01},
      {"SUBLANG_ENGLISH_US", 0x01},
      {"VS_VERSION_INFO", 1},
      {"VS_FFI_FILEFLAGSMASK", 0x3F},
      {"VS_FF_DEBUG", 0x1},
      {"VOS__WINDOWS32", 0x4},
      {"VOS_NT_WINDOWS32", 0x40004},
      {"VFT_APP", 0x1},
      {"VFT_DLL", 0x2},
      {"VFT2_UNKNOWN", 0x0},
      {"IDC_STATIC", -1},
  };
  return names;
}

// A C integer literal with optional L/U suffixes, or nothing if text is not one.
std::optional<std::int64_t> IntegerLiteral(const std::string& text) {
  std::string digits = text;
  while (!digits.empty() && (std::toupper(static_cast<unsigned char>(digits.back())) == 'L' ||
                             std::toupper(static_cast<unsigned char>(digits.back())) == 'U')) {
    digits.pop_back();
  }
  if (digits.empty()) return std::nullopt;
  int base = 10;
  std::size_t start = 0;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    start = 2;
  }
  std::int64_t value = 0;
  for (std::size_t i = start; i < digits.size(); ++i) {
    const int c = std::tolower(static_cast<unsigned char>(digits[i]));
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) return std::nullopt;
    value = value * base + digit;
    if (value > 0xFFFFFFFFll) return std::nullopt;
  }
  return value;
}

// The project's resource header: include guards, comments and "#define NAME number" only.
void ReadHeader(const std::filesystem::path& path, std::map<std::string, std::int64_t>& names) {
  const std::string file = path.string();
  std::istringstream lines(ReadFile(path));
  std::string line;
  int lineNumber = 0;
  bool inComment = false;
  while (std::getline(lines, line)) {
    ++lineNumber;
    std::string code;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (inComment) {
        if (line.compare(i, 2, "*/") == 0) {
          inComment = false;
          ++i;
        }
      } else if (line.compare(i, 2, "/*") == 0) {
        inComment = true;
        ++i;
      } else if (line.compare(i, 2, "//") == 0) {
        break;
      } else {
        code += line[i];
      }
    }
    std::istringstream words(code);
    std::vector<std::string> parts;
    for (std::string word; words >> word;) parts.push_back(word);
    if (parts.empty()) continue;
    const std::string& directive = parts[0];
    if ((directive == "#ifndef" && parts.size() == 2) || (directive == "#endif" && parts.size() == 1) ||
        (directive == "#pragma" && parts.size() == 2 && parts[1] == "once") ||
        (directive == "#define" && parts.size() == 2)) {
      continue;
    }
    if (directive == "#define" && parts.size() == 3) {
      std::string value = parts[2];
      bool negative = false;
      if (!value.empty() && value[0] == '-') {
        negative = true;
        value.erase(0, 1);
      }
      const std::optional<std::int64_t> number = IntegerLiteral(value);
      if (!number) Fail(file, lineNumber, "'" + parts[2] + "' is not a number");
      if (!names.emplace(parts[1], negative ? -*number : *number).second) {
        Fail(file, lineNumber, "'" + parts[1] + "' is defined twice");
      }
      continue;
    }
    Fail(file, lineNumber, "only include guards and \"#define NAME number\" are understood here: " + code);
  }
  if (inComment) Fail(file, lineNumber, "unterminated comment");
}

enum class TokenKind { Name, Number, String, Punct, End };

struct Token {
  TokenKind kind = TokenKind::End;
  std::string text;  // names and punctuation as written; strings unescaped
  std::int64_t value = 0;
  int line = 0;
};

std::string Show(const Token& token) {
  switch (token.kind) {
    case TokenKind::End: return "the end of the file";
    case TokenKind::String: return "the string \"" + token.text + "\"";
    default: return "'" + token.text + "'";
  }
}

class Lexer {
 public:
  Lexer(std::filesystem::path path, std::map<std::string, std::int64_t>& names)
      : path_(std::move(path)), file_(path_.string()), text_(ReadFile(path_)), names_(names) {}

  std::vector<Token> Tokens() {
    std::vector<Token> tokens;
    bool lineStart = true;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
        lineStart = true;
      } else if (std::isspace(static_cast<unsigned char>(c))) {
        ++pos_;
      } else if (text_.compare(pos_, 2, "//") == 0) {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (text_.compare(pos_, 2, "/*") == 0) {
        const std::size_t end = text_.find("*/", pos_ + 2);
        if (end == std::string::npos) Fail(file_, line_, "unterminated comment");
        for (std::size_t i = pos_; i < end; ++i) line_ += text_[i] == '\n' ? 1 : 0;
        pos_ = end + 2;
      } else if (c == '#' && lineStart) {
        Directive();
      } else {
        lineStart = false;
        tokens.push_back(Next());
      }
    }
    tokens.push_back(Token{TokenKind::End, "", 0, line_});
    return tokens;
  }

  const std::string& File() const { return file_; }

 private:
  void Directive() {
    const std::size_t end = text_.find('\n', pos_);
    const std::string line = text_.substr(pos_, end == std::string::npos ? std::string::npos : end - pos_);
    pos_ = end == std::string::npos ? text_.size() : end;
    std::istringstream words(line);
    std::string directive, argument, value, extra;
    words >> directive >> argument >> value >> extra;
    if (directive == "#include" && argument.size() > 2 && argument.front() == '"' && argument.back() == '"' &&
        value.empty()) {
      ReadHeader(path_.parent_path() / argument.substr(1, argument.size() - 2), names_);
    } else if (directive == "#include" && argument.size() > 2 && argument.front() == '<' && argument.back() == '>' &&
               value.empty()) {
      // System headers: their names come from SystemNames().
    } else if (directive == "#define" && !argument.empty() && extra.empty()) {
      if (!value.empty()) {
        const std::optional<std::int64_t> number = IntegerLiteral(value);
        if (!number) Fail(file_, line_, "'" + value + "' is not a number");
        names_[argument] = *number;
      }
    } else {
      Fail(file_, line_, "unsupported preprocessor line: " + line);
    }
  }

  Token Next() {
    Token token;
    token.line = line_;
    const char c = text_[pos_];
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      token.kind = TokenKind::Name;
      while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) {
        token.text += text_[pos_++];
      }
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      token.kind = TokenKind::Number;
      while (pos_ < text_.size() && std::isalnum(static_cast<unsigned char>(text_[pos_]))) token.text += text_[pos_++];
      const std::optional<std::int64_t> number = IntegerLiteral(token.text);
      if (!number) Fail(file_, line_, "'" + token.text + "' is not a number");
      token.value = *number;
    } else if (c == '"') {
      token.kind = TokenKind::String;
      token.text = StringLiteral();
    } else if (std::string(",|(){}+-~").find(c) != std::string::npos) {
      token.kind = TokenKind::Punct;
      token.text = std::string(1, c);
      ++pos_;
    } else {
      Fail(file_, line_, std::string("unexpected character '") + c + "'");
    }
    return token;
  }

  // Resource-script strings: "" is a quote; the usual backslash escapes.
  std::string StringLiteral() {
    std::string value;
    ++pos_;
    while (true) {
      if (pos_ >= text_.size() || text_[pos_] == '\n') Fail(file_, line_, "unterminated string");
      const char c = text_[pos_++];
      if (c == '"') {
        if (pos_ < text_.size() && text_[pos_] == '"') {
          value += '"';
          ++pos_;
          continue;
        }
        return value;
      }
      if (c != '\\') {
        value += c;
        continue;
      }
      if (pos_ >= text_.size()) Fail(file_, line_, "unterminated string");
      const char escaped = text_[pos_++];
      switch (escaped) {
        case 'n': value += '\n'; break;
        case 't': value += '\t'; break;
        case 'r': value += '\r'; break;
        case 'a': value += '\a'; break;
        case '\\': value += '\\'; break;
        case '"': value += '"'; break;
        default: Fail(file_, line_, std::string("unsupported escape '\\") + escaped + "' in a string");
      }
    }
  }

  std::filesystem::path path_;
  std::string file_;
  std::string text_;
  std::map<std::string, std::int64_t>& names_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

struct DialogItem {
  std::int64_t id = -1;
  std::string windowClass;
  std::string text;
  std::uint32_t style = 0;
  std::int64_t x = 0, y = 0, width = 0, height = 0;
};

struct Dialog {
  std::int64_t id = 0;
  std::uint32_t style = 0;
  std::int64_t x = 0, y = 0, width = 0, height = 0;
  std::int64_t fontSize = 0;
  std::string fontName;
  std::vector<DialogItem> items;
};

struct Version {
  bool present = false;
  std::int64_t fileVersion[4] = {};
  std::int64_t productVersion[4] = {};
  std::int64_t fileOs = 0, fileType = 0;
  std::string stringBlock;
  std::vector<std::pair<std::string, std::string>> values;
};

struct Resources {
  std::int64_t language = -1;
  std::map<std::int64_t, std::string> strings;
  std::vector<Dialog> dialogs;
  Version version;
};

constexpr std::uint32_t kWsChild = 0x40000000, kWsVisible = 0x10000000, kWsGroup = 0x00020000, kWsTabstop = 0x00010000,
                        kWsPopup = 0x80000000, kWsBorder = 0x00800000, kWsSysmenu = 0x00080000, kWsCaption = 0x00C00000,
                        kDsSetfont = 0x40, kWsBorderEdit = 0x00800000;

class Parser {
 public:
  Parser(std::vector<Token> tokens, std::string file, const std::map<std::string, std::int64_t>& names)
      : tokens_(std::move(tokens)), file_(std::move(file)), names_(names) {}

  Resources Parse() {
    while (Peek().kind != TokenKind::End) {
      if (IsWord("LANGUAGE")) {
        Advance();
        resources_.language = Language();
      } else if (IsWord("STRINGTABLE")) {
        Advance();
        StringTable();
      } else {
        const Token name = Advance();
        if (name.kind != TokenKind::Name && name.kind != TokenKind::Number) {
          Fail(file_, name.line, "expected a resource statement, found " + Show(name));
        }
        const Token type = Advance();
        const std::string kind = Upper(type.text);
        if (type.kind == TokenKind::Name && (kind == "DIALOG" || kind == "DIALOGEX")) {
          DialogResource(Resolve(name), kind == "DIALOGEX");
        } else if (type.kind == TokenKind::Name && kind == "VERSIONINFO") {
          VersionInfo();
        } else {
          Fail(file_, type.line, "unsupported resource type " + Show(type) + " for resource " + Show(name));
        }
      }
    }
    if (resources_.strings.empty()) Fail(file_, Peek().line, "no STRINGTABLE entries");
    if (!resources_.version.present) Fail(file_, Peek().line, "no VERSIONINFO resource");
    return std::move(resources_);
  }

 private:
  const Token& Peek() const { return tokens_[index_]; }
  Token Advance() {
    Token token = tokens_[index_];
    if (token.kind != TokenKind::End) ++index_;
    return token;
  }
  bool IsWord(const char* word) const { return Peek().kind == TokenKind::Name && Upper(Peek().text) == word; }
  bool IsPunct(const char* punct) const { return Peek().kind == TokenKind::Punct && Peek().text == punct; }
  bool IsBegin() const { return IsWord("BEGIN") || IsPunct("{"); }
  bool IsEnd() const { return IsWord("END") || IsPunct("}"); }

  void Expect(bool found, const std::string& what) const {
    if (!found) Fail(file_, Peek().line, "expected " + what + ", found " + Show(Peek()));
  }
  void Comma(const std::string& after) {
    Expect(IsPunct(","), "',' after " + after);
    Advance();
  }
  void Begin(const std::string& of) {
    Expect(IsBegin(), "BEGIN of " + of);
    Advance();
  }
  std::string String(const std::string& what) {
    Expect(Peek().kind == TokenKind::String, what + " (a quoted string)");
    return Advance().text;
  }

  std::int64_t Resolve(const Token& token) const {
    if (token.kind == TokenKind::Number) return token.value;
    if (token.kind == TokenKind::Name) {
      if (const auto own = names_.find(token.text); own != names_.end()) return own->second;
      if (const auto system = SystemNames().find(token.text); system != SystemNames().end()) return system->second;
      Fail(file_, token.line, "unknown name '" + token.text + "' (not in the resource header)");
    }
    Fail(file_, token.line, "expected a number or a name, found " + Show(token));
  }

  // primary := number | name | '(' value ')' | '-' primary | '~' primary
  std::int64_t Primary() {
    if (IsPunct("-")) {
      Advance();
      return -Primary();
    }
    if (IsPunct("~")) {
      Advance();
      return ~Primary() & 0xFFFFFFFFll;
    }
    if (IsPunct("(")) {
      Advance();
      const std::int64_t value = Value();
      Expect(IsPunct(")"), "')'");
      Advance();
      return value;
    }
    return Resolve(Advance());
  }

  // value := primary (('|' | '+') primary)*
  std::int64_t Value() {
    std::int64_t value = Primary();
    while (IsPunct("|") || IsPunct("+")) {
      const bool isOr = Advance().text == "|";
      const std::int64_t next = Primary();
      value = isOr ? (value | next) : value + next;
    }
    return value;
  }

  // A window style added to defaults: terms are or-ed in, "NOT term" clears bits.
  std::uint32_t Style(std::uint32_t style) {
    while (true) {
      const bool clear = IsWord("NOT");
      if (clear) Advance();
      const auto bits = static_cast<std::uint32_t>(Primary());
      style = clear ? (style & ~bits) : (style | bits);
      if (!IsPunct("|")) return style;
      Advance();
    }
  }

  std::int64_t Language() {
    const std::int64_t primary = Value();
    Comma("the primary language");
    const std::int64_t sub = Value();
    return primary | (sub << 10);
  }

  // Statements allowed between a resource's header and its BEGIN that this tool ignores or
  // records; anything else is an error at the BEGIN check.
  void StringTable() {
    while (IsWord("LANGUAGE")) {
      Advance();
      resources_.language = Language();
    }
    Begin("STRINGTABLE");
    while (!IsEnd()) {
      const Token idToken = Peek();
      if (idToken.kind == TokenKind::End) Fail(file_, idToken.line, "STRINGTABLE is not closed by END");
      const std::int64_t id = Value();
      if (IsPunct(",")) Advance();
      const std::string text = String("the text of string " + std::to_string(id));
      if (id < 0 || id > 0xFFFF) Fail(file_, idToken.line, "string id " + std::to_string(id) + " is outside 0..65535");
      if (text.empty())
        Fail(file_, idToken.line,
             "string " + std::to_string(id) + " is empty; a resource compiler drops empty strings");
      if (!resources_.strings.emplace(id, text).second) {
        Fail(file_, idToken.line, "string id " + std::to_string(id) + " appears twice");
      }
    }
    Advance();
  }

  std::int64_t Coordinates(DialogItem& item) {
    item.x = Value();
    Comma("x");
    item.y = Value();
    Comma("y");
    item.width = Value();
    Comma("width");
    item.height = Value();
    return item.height;
  }

  void DialogResource(std::int64_t id, bool extended) {
    for (const Dialog& other : resources_.dialogs) {
      if (other.id == id) Fail(file_, Peek().line, "dialog " + std::to_string(id) + " is defined twice");
    }
    Dialog dialog;
    dialog.id = id;
    dialog.x = Value();
    Comma("x");
    dialog.y = Value();
    Comma("y");
    dialog.width = Value();
    Comma("width");
    dialog.height = Value();
    if (extended && IsPunct(",")) {
      Advance();
      Value();  // help id: nothing on this side uses it
    }
    std::optional<std::uint32_t> style;
    bool hasCaption = false;
    while (!IsBegin()) {
      const Token statement = Advance();
      const std::string word = Upper(statement.text);
      if (statement.kind != TokenKind::Name) {
        Fail(file_, statement.line, "expected a dialog statement or BEGIN, found " + Show(statement));
      } else if (word == "STYLE") {
        style = Style(0);
      } else if (word == "EXSTYLE") {
        Value();
      } else if (word == "CAPTION") {
        String("the caption");
        hasCaption = true;
      } else if (word == "FONT") {
        dialog.fontSize = Value();
        Comma("the font size");
        dialog.fontName = String("the font name");
        for (int extra = 0; extended && extra < 3 && IsPunct(","); ++extra) {
          Advance();
          Value();
        }
      } else if (word == "LANGUAGE") {
        resources_.language = Language();
      } else {
        Fail(file_, statement.line, "unsupported dialog statement " + Show(statement));
      }
    }
    dialog.style = style.value_or(kWsPopup | kWsBorder | kWsSysmenu);
    if (!dialog.fontName.empty()) dialog.style |= kDsSetfont;
    if (hasCaption) dialog.style |= kWsCaption;
    Begin("the dialog");
    std::set<std::int64_t> ids;
    while (!IsEnd()) {
      const Token statement = Advance();
      if (statement.kind != TokenKind::Name) {
        Fail(file_, statement.line, "expected a control statement or END, found " + Show(statement));
      }
      DialogItem item = Control(statement);
      if (item.id != -1 && !ids.insert(item.id).second) {
        Fail(file_, statement.line,
             "control id " + std::to_string(item.id) + " appears twice in dialog " + std::to_string(id));
      }
      dialog.items.push_back(std::move(item));
    }
    Advance();
    resources_.dialogs.push_back(std::move(dialog));
  }

  DialogItem Control(const Token& statement) {
    const std::string word = Upper(statement.text);
    const std::map<std::string, std::pair<const char*, std::uint32_t>> textControls = {
        {"LTEXT", {"Static", kWsGroup | 0x0}},           {"CTEXT", {"Static", kWsGroup | 0x1}},
        {"RTEXT", {"Static", kWsGroup | 0x2}},           {"PUSHBUTTON", {"Button", kWsTabstop | 0x0}},
        {"DEFPUSHBUTTON", {"Button", kWsTabstop | 0x1}}, {"CHECKBOX", {"Button", kWsTabstop | 0x2}},
        {"AUTOCHECKBOX", {"Button", kWsTabstop | 0x3}},  {"GROUPBOX", {"Button", 0x7}}};
    DialogItem item;
    std::uint32_t style = kWsChild | kWsVisible;
    if (const auto kind = textControls.find(word); kind != textControls.end()) {
      item.text = String("the control text");
      Comma("the control text");
      item.id = Value();
      Comma("the control id");
      item.windowClass = kind->second.first;
      style |= kind->second.second;
    } else if (word == "EDITTEXT") {
      item.id = Value();
      Comma("the control id");
      item.windowClass = "Edit";
      style |= kWsBorderEdit | kWsTabstop;
    } else if (word == "CONTROL") {
      item.text = String("the control text");
      Comma("the control text");
      item.id = Value();
      Comma("the control id");
      item.windowClass = String("the window class");
      Comma("the window class");
      style = Style(style);
      Comma("the style");
      Coordinates(item);
      if (IsPunct(",")) {
        Advance();
        Value();  // extended style
      }
      item.style = style;
      return item;
    } else {
      Fail(file_, statement.line, "unsupported control statement " + Show(statement));
    }
    Coordinates(item);
    if (IsPunct(",")) {
      Advance();
      style = Style(style);
      if (IsPunct(",")) {
        Advance();
        Value();  // extended style
      }
    }
    item.style = style;
    return item;
  }

  void FourNumbers(std::int64_t (&numbers)[4], const char* what) {
    for (int i = 0; i < 4; ++i) {
      if (i > 0) Comma(what);
      numbers[i] = Value();
      if (numbers[i] < 0 || numbers[i] > 0xFFFF)
        Fail(file_, Peek().line, std::string(what) + " parts must be 0..65535");
    }
  }

  void VersionInfo() {
    Version& version = resources_.version;
    if (version.present) Fail(file_, Peek().line, "a second VERSIONINFO resource");
    version.present = true;
    while (!IsBegin()) {
      const Token statement = Advance();
      const std::string word = Upper(statement.text);
      if (statement.kind != TokenKind::Name) {
        Fail(file_, statement.line, "expected a version statement or BEGIN, found " + Show(statement));
      } else if (word == "FILEVERSION") {
        FourNumbers(version.fileVersion, "FILEVERSION");
      } else if (word == "PRODUCTVERSION") {
        FourNumbers(version.productVersion, "PRODUCTVERSION");
      } else if (word == "FILEOS") {
        version.fileOs = Value();
      } else if (word == "FILETYPE") {
        version.fileType = Value();
      } else if (word == "FILEFLAGSMASK" || word == "FILEFLAGS" || word == "FILESUBTYPE") {
        Value();
      } else {
        Fail(file_, statement.line, "unsupported version statement " + Show(statement));
      }
    }
    Begin("VERSIONINFO");
    while (!IsEnd()) {
      Expect(IsWord("BLOCK"), "BLOCK or END in VERSIONINFO");
      const int line = Advance().line;
      const std::string block = String("the block name");
      if (block == "StringFileInfo") {
        Begin("StringFileInfo");
        while (!IsEnd()) {
          Expect(IsWord("BLOCK"), "a language BLOCK in StringFileInfo");
          const int languageLine = Advance().line;
          if (!version.stringBlock.empty())
            Fail(file_, languageLine, "only one language block is supported in StringFileInfo");
          version.stringBlock = String("the language block name");
          Begin("the language block");
          while (!IsEnd()) {
            Expect(IsWord("VALUE"), "VALUE or END");
            Advance();
            std::string key = String("the value name");
            Comma("the value name");
            version.values.emplace_back(std::move(key), String("the value text"));
          }
          Advance();
        }
        Advance();
      } else if (block == "VarFileInfo") {
        Begin("VarFileInfo");
        while (!IsEnd()) {
          Expect(IsWord("VALUE"), "VALUE or END");
          Advance();
          String("the value name");
          while (IsPunct(",")) {
            Advance();
            Value();
          }
        }
        Advance();
      } else {
        Fail(file_, line, "unsupported version block \"" + block + "\"");
      }
    }
    Advance();
  }

  std::vector<Token> tokens_;
  std::size_t index_ = 0;
  std::string file_;
  const std::map<std::string, std::int64_t>& names_;
  Resources resources_;
};

// A C++ string literal with every byte outside printable ASCII as a three-digit octal escape,
// which (unlike \x) cannot swallow the characters after it.
std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte >= 0x20 && byte < 0x7F && c != '?') {
      quoted += c;
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\%03o", byte);
      quoted += escape;
    }
  }
  return quoted + "\"";
}

std::string Hex(std::int64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llXu", static_cast<unsigned long long>(value & 0xFFFFFFFFll));
  return text;
}

std::string Generate(const Resources& resources, const std::string& source) {
  std::ostringstream out;
  out << "// Generated by rcgen from " << source << ". Do not edit: change the .rc file.\n"
      << "#include \"resources/resource_data.h\"\n\n";
  out << "const unsigned veldmapResourceLanguage = " << Hex(resources.language < 0 ? 0 : resources.language) << ";\n\n";
  out << "const StringResource veldmapStringTable[] = {\n";
  for (const auto& [id, text] : resources.strings) out << "    {" << id << ", " << Quote(text) << "},\n";
  out << "};\nconst int veldmapStringCount = " << resources.strings.size() << ";\n\n";

  for (const Dialog& dialog : resources.dialogs) {
    out << "static const DialogItemResource dialog" << dialog.id << "Items[] = {\n";
    for (const DialogItem& item : dialog.items) {
      out << "    {" << item.id << ", " << Quote(item.windowClass) << ", " << Quote(item.text) << ", "
          << Hex(item.style) << ", " << item.x << ", " << item.y << ", " << item.width << ", " << item.height << "},\n";
    }
    if (dialog.items.empty())
      out << "    {-1, \"\", \"\", 0u, 0, 0, 0, 0},  // placeholder: the dialog has no controls\n";
    out << "};\n";
  }
  out << "const DialogResource veldmapDialogs[] = {\n";
  for (const Dialog& dialog : resources.dialogs) {
    out << "    {" << dialog.id << ", " << Hex(dialog.style) << ", " << dialog.x << ", " << dialog.y << ", "
        << dialog.width << ", " << dialog.height << ", " << dialog.fontSize << ", " << Quote(dialog.fontName)
        << ", dialog" << dialog.id << "Items, " << dialog.items.size() << "},\n";
  }
  if (resources.dialogs.empty()) out << "    {0, 0u, 0, 0, 0, 0, 0, \"\", nullptr, 0},  // placeholder: no dialogs\n";
  out << "};\nconst int veldmapDialogCount = " << resources.dialogs.size() << ";\n\n";

  const Version& version = resources.version;
  out << "static const VersionValue versionValues[] = {\n";
  for (const auto& [key, value] : version.values) out << "    {" << Quote(key) << ", " << Quote(value) << "},\n";
  if (version.values.empty()) out << "    {\"\", \"\"},  // placeholder: no values\n";
  out << "};\nconst VersionResource veldmapVersion = {\n    {";
  for (int i = 0; i < 4; ++i) out << (i ? ", " : "") << version.fileVersion[i] << "u";
  out << "},\n    {";
  for (int i = 0; i < 4; ++i) out << (i ? ", " : "") << version.productVersion[i] << "u";
  out << "},\n    " << Hex(version.fileOs) << ",\n    " << Hex(version.fileType) << ",\n    "
      << Quote(version.stringBlock) << ",\n    versionValues,\n    " << version.values.size() << "};\n";
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: rcgen INPUT.rc OUTPUT.cpp\n");
    return 2;
  }
  try {
    const std::filesystem::path input = argv[1];
    std::map<std::string, std::int64_t> names;
    Lexer lexer(input, names);
    std::vector<Token> tokens = lexer.Tokens();
    const Resources resources = Parser(std::move(tokens), lexer.File(), names).Parse();
    const std::string generated = Generate(resources, input.filename().string());
    // Written only when complete, so a failed run never leaves half a source for the build.
    const std::filesystem::path output = argv[2];
    const std::filesystem::path temporary = output.string() + ".tmp";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out << generated;
      if (!out.flush()) throw ParseError(temporary.string() + ": error: cannot write the output");
    }
    std::filesystem::rename(temporary, output);
  } catch (const ParseError& error) {
    std::fprintf(stderr, "rcgen: %s\n", error.what());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "rcgen: error: %s\n", error.what());
    return 1;
  }
  return 0;
}
