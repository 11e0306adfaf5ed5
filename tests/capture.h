// Test helpers: a stream whose whole content can be read back, and argument
// vectors built from string lists.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

struct CapturedStream {
    std::FILE* file = std::tmpfile();
    ~CapturedStream() {
        if (file != nullptr) std::fclose(file);
    }
    std::string text() const {
        std::fflush(file);
        std::string content;
        std::rewind(file);
        char chunk[512];
        std::size_t count;
        while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, count);
        std::fseek(file, 0, SEEK_END);
        return content;
    }
};

struct Arguments {
    std::vector<std::string> storage;
    std::vector<char*> pointers;
    explicit Arguments(std::initializer_list<const char*> options) {
        storage.emplace_back("torvex");
        for (const char* option : options) storage.emplace_back(option);
        for (std::string& text : storage) pointers.push_back(&text[0]);
        pointers.push_back(nullptr);
    }
    int count() const { return static_cast<int>(storage.size()); }
    char** vector() { return pointers.data(); }
};
