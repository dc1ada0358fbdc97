#include "log/Progress.h"

#include <cstdio>

namespace {

bool progressPlainLines = false;

}  // namespace

std::string progressText(unsigned int percent, bool plainLines) {
    if (percent > 100) {
        return std::string();
    }
    const unsigned int filled = percent * 50 / 100;
    std::string text;
    if (percent == 0) {
        text += "\nProgress:\n";
    }
    if (!plainLines) {
        text.append(59, '\b');
    }
    text += '[';
    text.append(filled, '=');
    text.append(50 - filled, ' ');
    text += "]  ";
    text += std::to_string(percent);
    text += '%';
    if (percent == 100 || plainLines) {
        text += '\n';
    }
    return text;
}

void showProgress(unsigned int percent) {
    const std::string text = progressText(percent, progressPlainLines);
    if (text.empty()) {
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void setProgressPlainLines(bool plainLines) {
    progressPlainLines = plainLines;
}
