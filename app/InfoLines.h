#pragma once
// The info lines of a cube or pipe: the packet lines it saw last. The owner
// drops the oldest as new ones come, so both ends of the list are O(1).

#include <deque>
#include <string>

class TInfoLines
{
public:
    int Count() const { return static_cast<int>(FLines.size()); }
    const std::string& Strings(int index) const { return FLines.at(static_cast<size_t>(index)); }
    void Add(std::string line) { FLines.push_back(std::move(line)); }
    void DeleteFirst() { FLines.pop_front(); }
    // Every line followed by CR LF, as a string list gives its text.
    std::string Text() const
    {
        std::string text;
        for (const std::string& line : FLines)
            text.append(line).append("\r\n");
        return text;
    }

private:
    std::deque<std::string> FLines;
};
