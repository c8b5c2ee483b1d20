// The examples of every page, read from the page and run as written: a page edited without the
// program, or the program without the page, fails here.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "private_network.h"

namespace {

struct page_case {
  const char* name;
  const char* page;    // below the source tree
  const char* server;  // started before the example, fresh; nullptr: the example starts one
};

const page_case PAGES[] = {
    {"client", "man/client.1", TALLY_BIN},  {"glyphs", "man/glyphs.1", GLYPHS_BIN},
    {"mirror", "man/mirror.1", MIRROR_BIN}, {"sink", "man/sink.1", nullptr},
    {"tally", "man/tally.1", TALLY_BIN},    {"readme", "README.md", TALLY_BIN},
};

// What a page shows: commands with their output, and byte exchanges with a server.
struct example {
  std::vector<std::string> commands;
  std::string output;
  std::vector<std::pair<std::string, std::string>> exchanges;  // request, answer
};

// Page text as it prints: the few troff escapes the examples use.
std::string unescape(std::string line) {
  for (const auto& [from, to] : {std::pair{"\\e", "\\"}, {"\\-", "-"}, {"\\(aq", "'"}}) {
    for (std::size_t at = line.find(from); at != std::string::npos; at = line.find(from, at)) {
      line.replace(at, std::string(from).size(), to);
      at += std::string(to).size();
    }
  }
  return line;
}

bool is_hex_pair(const std::string& word) {
  const auto hex = [](char ch) { return (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'); };
  return word.size() == 2 && hex(word[0]) && hex(word[1]);
}

// A line of a byte exchange, "client -> server   32 20 0A   ..." or "server:  52 00": who sends
// (`client` or `server`) and the bytes; false for any other line.
bool read_exchange(const std::string& line, std::string* who, std::string* bytes) {
  std::istringstream words(line);
  words >> *who;
  if (!who->empty() && who->back() == ':') {
    who->pop_back();
  }
  if (*who != "client" && *who != "server") {
    return false;
  }
  bytes->clear();
  for (std::string word; words >> word;) {
    if (is_hex_pair(word)) {
      *bytes += static_cast<char>(std::stoi(word, nullptr, 16));
    } else if (!bytes->empty()) {
      break;  // the text after the bytes
    } else if (word != "->" && word != "client" && word != "server") {
      return false;
    }
  }
  return !bytes->empty();
}

example read_example(const std::string& path) {
  std::ifstream page(std::string(PORTKIT_SOURCE_DIR "/") + path);
  const bool manual = path.ends_with(".1");
  example found;
  bool in_section = !manual;  // the README's examples stand anywhere
  // Literal lines: a manual page's between .nf and .fi, the README's indented.
  bool in_block = false;
  bool block_commands = false;  // the block holds commands: its other lines are their output
  std::string request;
  std::string who;
  std::string bytes;
  for (std::string line; std::getline(page, line);) {
    if (line.starts_with(".SH")) {
      in_section = line == ".SH EXAMPLE";
    }
    in_block = manual ? line == ".nf" || (in_block && line != ".fi") : line.starts_with("    ");
    block_commands = block_commands && in_block;
    if (!manual && in_block) {
      line.erase(0, 4);
    }
    if (!in_section || line.starts_with(".")) {
      continue;
    }
    if (line.starts_with("$ ")) {
      found.commands.push_back(unescape(line.substr(2)));
      block_commands = true;
    } else if (read_exchange(line, &who, &bytes)) {
      if (who == "client") {
        request = bytes;
      } else {
        found.exchanges.emplace_back(request, bytes);
      }
    } else if (block_commands) {
      found.output += unescape(line) + "\n";
    }
  }
  return found;
}

// Between two commands, what a person typing them leaves: the server listening and done with
// every connection, so that a command never races the one before it.
constexpr char SETTLE[] = R"sh(
settle() {
  for _ in $(seq 1000); do
    [ "$(awk 'NR > 1 && $2 ~ /:3039$/ {print $4}' /proc/net/tcp | sort -u | tr -d '\n')" = 0A ] &&
      return
    sleep 0.01
  done
}
)sh";

std::string trimmed(std::string text) {
  while (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

void PrintTo(const page_case& entry, std::ostream* out) {
  *out << entry.page;
}

class PageExamples : public ProgramTest, public ::testing::WithParamInterface<page_case> {};

TEST_P(PageExamples, HoldAsWritten) {
  const example shown = read_example(GetParam().page);
  ASSERT_FALSE(shown.commands.empty() && shown.exchanges.empty()) << "no example found";
  ASSERT_TRUE(shown.commands.empty() || !shown.output.empty()) << "a command without its output";
  if (GetParam().server != nullptr) {
    start_server(GetParam().server);
  }
  for (const auto& [request, answer] : shown.exchanges) {
    const int connection = connect_service_port();
    send_bytes(connection, request);
    EXPECT_EQ(read_exact(connection, answer.size()), answer);
    close(connection);
  }
  if (shown.commands.empty()) {
    return;
  }
  const std::string bin = std::string(TALLY_BIN).substr(0, std::string(TALLY_BIN).rfind('/'));
  std::string script = "export PATH=" + bin + ":$PATH; cd \"$(mktemp -d)\"" + SETTLE;
  for (const std::string& command : shown.commands) {
    script += command + "\nsettle\n";
  }
  script += "kill $(jobs -p) 2>/dev/null; wait\n";
  const child_process shell = start("bash", {.arguments = {"-c", script}});
  EXPECT_EQ(exit_code(shell), 0) << read_file(shell.stderr_path);
  EXPECT_EQ(trimmed(read_file(shell.stdout_path)), trimmed(shown.output)) << script;
}

INSTANTIATE_TEST_SUITE_P(EveryPage, PageExamples, ::testing::ValuesIn(PAGES), CASE_NAME);

}  // namespace
