// libwexlog: logger groups that write leveled lines to one sink per manager.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace Log {

class LogManager;

class LoggerGroup {
public:
    LoggerGroup(LogManager &owner, std::string name) : owner_(owner), name_(std::move(name)) {}
    // The three levels; `code` is a message code that is printed when non-zero.
    void error(std::string const &utf8_text, int code);
    void warning(std::string const &utf8_text, int code);
    void info(std::string const &utf8_text, int code);
    std::string const &name() const { return name_; }

private:
    void write(char const *level, std::string const &text, int code);
    LogManager &owner_;
    std::string name_;
};

class LogManager {
public:
    // A sink receives one finished line (without the newline) per message.
    using Sink = std::function<void(std::string const &line)>;

    explicit LogManager(Sink sink, int max_level) : sink_(std::move(sink)), max_level_(max_level) {}
    // The group of that name, made on first request; the manager owns it.
    LoggerGroup *group(std::string const &name);
    // Level numbers: 0 error, 1 warning, 2 info. Lines above `max_level` are dropped.
    bool enabled(int level) const { return level <= max_level_; }
    void emit(std::string const &line);

private:
    Sink sink_;
    int max_level_;
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<LoggerGroup>> groups_;
};

class TsLogManager {
public:
    // program: the name on every line and of the log file; directory: where "<program>.log" is
    // appended to ("-" writes to the standard error stream); config: unused by this
    // implementation beyond being kept; max_level: 0 to 2, lines above it are dropped;
    // options: "stderr" forces the standard error stream.
    // Returns the process's manager (made anew on each call; the previous one stays valid for
    // the groups already handed out), or null when the log file cannot be opened.
    static LogManager *initialize(std::string const &program, std::string const &directory, std::string const &config,
                                  int max_level, std::string const &options);

    // Replaces the sink of managers made after this call; tests capture lines with it.
    static void set_sink_for_testing(LogManager::Sink sink);
};

} // namespace Log
