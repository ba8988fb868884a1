// The whole stack as a user meets it: lapictl driven against a real lapid on a manual
// clock, one lapid per case. The cases and their steps live in tests/data/e2e/cases.txt
// (its head explains the steps); this file only runs them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include "lapid.h"

extern char **environ;

namespace {

using namespace lapitest;

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Blank-separated words; '...' quotes a word that holds blanks or is empty.
std::vector<std::string> Words(std::string_view text) {
    std::vector<std::string> words;
    bool open = false;  // a word has begun
    bool quoted = false;
    for (const char c : text) {
        if (c == ' ' && !quoted) {
            open = false;
            continue;
        }
        if (!open) {
            words.emplace_back();
            open = true;
        }
        if (c == '\'') {
            quoted = !quoted;
        } else {
            words.back() += c;
        }
    }
    return words;
}

std::string ReadText(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// "\r" and "\n" as themselves, "\xHH" as that byte (\x03 Ctrl-C, \x04 Ctrl-D).
std::string Keys(const std::string &text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\\r") == 0 || text.compare(i, 2, "\\n") == 0) {
            bytes += text[i + 1] == 'r' ? '\r' : '\n';
            ++i;
        } else if (text.compare(i, 2, "\\x") == 0) {
            bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

// lapictl (or another program) as a child process: stdin from /dev/null, or from the
// case's file F when the first argument is "<F"; stdout and stderr into files. With "@tty"
// first, on a terminal of its own (a pty, 200 columns): Type() writes to it, Out() holds
// all it has shown, carriage returns left out.
class Tool {
  public:
    Tool(const TempDir &dir, const std::string &name, std::vector<std::string> args,
         const char *program = LAPICTL_BINARY)
        : out_(dir.File(name + ".out")), err_(dir.File(name + ".err")) {
        if (!args.empty() && args[0] == "@tty") {
            args[0] = program;
            std::vector<char *> argv;
            for (std::string &a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            winsize ws{24, 200, 0, 0};
            pid_ = ::forkpty(&tty_, nullptr, nullptr, &ws);
            if (pid_ == 0) {
                ::setenv("TERM", "xterm", 1);
                ::execv(argv[0], argv.data());
                ::_exit(127);
            }
            EXPECT_GT(pid_, 0);
            ::fcntl(tty_, F_SETFL, O_NONBLOCK);
            return;
        }
        const std::string in =
            !args.empty() && args[0][0] == '<' ? dir.File(args[0].substr(1)) : "/dev/null";
        args.erase(args.begin(), args.begin() + (in == "/dev/null" ? 0 : 1));
        args.insert(args.begin(), program);
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(::posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Tool() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (tty_ >= 0) {
            ::close(tty_);
        }
    }
    // Keys typed on its terminal (Keys()).
    void Type(const std::string &keys) {
        const std::string bytes = Keys(keys);
        ASSERT_EQ(::write(tty_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // The exit code, 128 + signal, or -1 when it did not end in time (it is then killed).
    int Wait() {
        int status = 0;
        const bool ended =
            WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 20s);
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        return !ended ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void Signal(int sig) const { ::kill(pid_, sig); }
    std::string Out() {
        char buf[4096];
        for (ssize_t n; tty_ >= 0 && (n = ::read(tty_, buf, sizeof buf)) > 0;) {
            std::copy_if(buf, buf + n, std::back_inserter(shown_),
                         [](char c) { return c != '\r'; });
        }
        return tty_ >= 0 ? shown_ : ReadText(out_);
    }
    const std::string &OutPath() const { return out_; }
    std::string Err() const { return ReadText(err_); }

  private:
    std::string out_;
    std::string err_;
    pid_t pid_ = -1;
    int tty_ = -1;       // the pty's master side
    std::string shown_;  // what the terminal has shown so far
};

struct Case {
    std::string name;
    std::vector<std::string> serverArgs;
    std::vector<std::string> steps;
};

std::vector<Case> LoadCases() {
    std::vector<Case> cases;
    for (const std::string &line : DataLines("e2e/cases.txt")) {
        if (line.rfind("case ", 0) == 0) {
            std::vector<std::string> words = Words(line.substr(5));
            cases.push_back({words.front(), {words.begin() + 1, words.end()}, {}});
        } else if (!cases.empty()) {
            cases.back().steps.push_back(line);
        }
    }
    return cases;
}

class EndToEnd : public ::testing::TestWithParam<Case> {
  protected:
    void Step(const std::string &step);
    // The next line equal to `want` after the last line matched, or the next one from the
    // last line matched on that contains `want` (several parts of one line).
    void ExpectLine(std::vector<std::string> &lines, std::size_t &at, const std::string &want,
                    bool contains) {
        for (std::size_t i = at; i < lines.size(); ++i) {
            if (contains ? lines[i].find(want) != std::string::npos : lines[i] == want) {
                at = contains ? i : i + 1;
                return;
            }
        }
        ADD_FAILURE() << "no line " << (contains ? "containing: " : "equal to: ") << want;
    }
    std::string Describe() const {
        std::string s = "exit " + std::to_string(exit_) + "\nstdout:\n";
        for (const auto *lines : {&out_, &err_}) {
            for (const std::string &l : *lines) {
                s += l + "\n";
            }
            s += lines == &out_ ? "stderr:\n" : "";
        }
        return s;
    }

    std::unique_ptr<Lapid> server_;
    TempDir dir_;
    std::map<std::string, std::unique_ptr<Tool>> tools_;
    int runs_ = 0;
    int exit_ = -1;  // the outcome that the expectations check
    std::string outPath_;
    std::vector<std::string> out_;
    std::vector<std::string> err_;
    std::size_t outAt_ = 0;
    std::size_t errAt_ = 0;
};

void EndToEnd::Step(const std::string &raw) {
    std::string step = raw;
    for (const auto &[key, value] :
         {std::pair<std::string, std::string>{"$CTL", server_->ControlPath()},
          {"$DIR", dir_.Path().string()},
          {"$PID", std::to_string(server_->Pid())}}) {
        for (std::size_t at; (at = step.find(key)) != std::string::npos;) {
            step.replace(at, key.size(), value);
        }
    }
    const std::size_t blank = step.find(' ');
    const std::string verb = step.substr(0, blank);
    const std::string rest = blank == std::string::npos ? "" : step.substr(blank + 1);
    std::vector<std::string> words = Words(rest);
    if (verb == "run" || verb == "bg") {
        const std::string name = verb == "bg" ? words.front() : "run" + std::to_string(++runs_);
        words.erase(words.begin(), words.begin() + (verb == "bg" ? 1 : 0));
        tools_[name] = std::make_unique<Tool>(dir_, name, words);
        if (verb == "run") {
            Step("wait " + name);
        }
    } else if (verb == "wait") {
        Tool &tool = *tools_.at(rest);
        exit_ = tool.Wait();
        outPath_ = tool.OutPath();
        out_ = SplitLines(tool.Out());
        err_ = SplitLines(tool.Err());
        outAt_ = errAt_ = 0;
    } else if (verb == "seen") {  // NAME TEXT: its stdout holds TEXT ("A ... B": in order)
        Tool &tool = *tools_.at(words.front());
        const std::string text = Keys(rest.substr(words.front().size() + 1));
        const auto holds = [&] {
            const std::string out = tool.Out();
            std::size_t at = 0;
            for (std::size_t from = 0, to = 0; to != std::string::npos; from = to + 5) {
                to = text.find(" ... ", from);
                at = out.find(text.substr(from, to - from), at);
                if (at == std::string::npos) {
                    return false;
                }
            }
            return true;
        };
        ASSERT_TRUE(WaitUntil(holds)) << text << " not in " << tool.Out() << tool.Err();
    } else if (verb == "type") {  // NAME KEYS: typed on its terminal
        tools_.at(words.front())->Type(rest.substr(words.front().size() + 1));
    } else if (verb == "kill") {
        tools_.at(words.front())->Signal(words.at(1) == "INT" ? SIGINT : SIGTERM);
    } else if (verb == "ctl" || verb == "ctl!") {
        const std::string answer = server_->Control(rest);
        const bool ok = answer.size() >= 3 && answer.compare(answer.size() - 3, 3, "OK\n") == 0;
        ASSERT_EQ(ok, verb == "ctl") << rest << ": " << answer;
    } else if (verb == "until") {  // COMMAND :: TEXT, polled until the answer holds TEXT
        const std::size_t sep = rest.find(" :: ");
        const std::string text = rest.substr(sep + 4);
        ASSERT_TRUE(WaitUntil([&] {
            return server_->Control(rest.substr(0, sep)).find(text) != std::string::npos;
        })) << rest
            << "\n"
            << server_->Control(rest.substr(0, sep));
    } else if (verb == "stop") {
        ASSERT_EQ(server_->Stop(), 0) << server_->Log();
    } else if (verb == "start") {
        ASSERT_TRUE(server_->Start()) << server_->Log();
    } else if (verb == "exit") {
        EXPECT_EQ(exit_, std::stoi(rest));
    } else if (verb == "out" || verb == "out~") {
        ExpectLine(out_, outAt_, rest, verb == "out~");
    } else if (verb == "err" || verb == "err~") {
        ExpectLine(err_, errAt_, rest, verb == "err~");
    } else if (verb == "lines") {  // OUT ERR: how many lines each holds
        EXPECT_EQ(out_.size(), std::stoul(words.at(0)));
        EXPECT_EQ(err_.size(), std::stoul(words.at(1)));
    } else if (verb == "write") {  // NAME LINE: appends the line to a file of the case's folder
        std::ofstream(dir_.File(words.front()), std::ios::app)
            << rest.substr(rest.find(' ') + 1) << '\n';
    } else if (verb == "track") {  // GPX GEOJSON: they hold the fixes the last lapictl printed
        Tool check(dir_, "track",
                   {TRACK_CHECK, outPath_, dir_.File(words.at(0)), dir_.File(words.at(1))},
                   "python3");
        EXPECT_EQ(check.Wait(), 0) << check.Out() << check.Err();
    } else if (verb == "file~") {  // NAME TEXT: a file of the case's folder holds TEXT
        EXPECT_NE(ReadText(dir_.File(words.front())).find(rest.substr(words.front().size() + 1)),
                  std::string::npos)
            << step;
    } else {
        FAIL() << "unknown step: " << step;
    }
}

TEST_P(EndToEnd, Steps) {
    server_ = std::make_unique<Lapid>(GetParam().serverArgs);
    ASSERT_TRUE(server_->Start()) << server_->Log();
    for (const std::string &step : GetParam().steps) {
        SCOPED_TRACE(step);
        Step(step);
        if (HasFailure()) {
            FAIL() << Describe();  // the first failing step ends the case
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, ::testing::ValuesIn(LoadCases()),
                         [](const auto &c) { return c.param.name; });

}  // namespace
