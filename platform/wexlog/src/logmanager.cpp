#include "wexlog/logmanager.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <list>

namespace Log {

namespace {
std::mutex registry_mutex;
LogManager::Sink test_sink;
// Managers live for the process: groups handed out by an earlier initialisation stay valid.
std::list<std::unique_ptr<LogManager>> &managers() {
    static auto *all = new std::list<std::unique_ptr<LogManager>>;
    return *all;
}
} // namespace

void LoggerGroup::error(std::string const &t, int code) { write("ERROR", t, code); }
void LoggerGroup::warning(std::string const &t, int code) { write("WARNING", t, code); }
void LoggerGroup::info(std::string const &t, int code) { write("INFO", t, code); }

void LoggerGroup::write(char const *level, std::string const &text, int code) {
    int n = level[0] == 'E' ? 0 : level[0] == 'W' ? 1 : 2;
    if (!owner_.enabled(n)) return;
    std::string line = std::string(level) + " [" + name_ + "] " + text;
    if (code != 0) line += " (" + std::to_string(code) + ")";
    owner_.emit(line);
}

LoggerGroup *LogManager::group(std::string const &name) {
    std::lock_guard<std::mutex> g(mutex_);
    auto &slot = groups_[name];
    if (!slot) slot = std::make_unique<LoggerGroup>(*this, name);
    return slot.get();
}

void LogManager::emit(std::string const &line) {
    std::lock_guard<std::mutex> g(mutex_);
    if (sink_) sink_(line);
}

LogManager *TsLogManager::initialize(std::string const &program, std::string const &directory,
                                     std::string const & /*config*/, int max_level, std::string const &options) {
    std::lock_guard<std::mutex> g(registry_mutex);
    LogManager::Sink sink = test_sink;
    if (!sink) {
        if (directory == "-" || options == "stderr") {
            sink = [program](std::string const &line) { std::cerr << program << ": " << line << std::endl; };
        } else {
            std::string path = (directory.empty() ? std::string(".") : directory) + "/" + program + ".log";
            auto file = std::make_shared<std::ofstream>(path, std::ios::app);
            if (!*file) return nullptr;
            sink = [file](std::string const &line) { *file << line << std::endl; };
        }
    }
    managers().push_back(std::make_unique<LogManager>(std::move(sink), max_level));
    return managers().back().get();
}

void TsLogManager::set_sink_for_testing(LogManager::Sink sink) {
    std::lock_guard<std::mutex> g(registry_mutex);
    test_sink = std::move(sink);
}

} // namespace Log
