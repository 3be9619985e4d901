#pragma once
// The info lines of a cube or pipe: the packet lines it saw last. The owner
// drops the oldest as new ones come, so both ends of the list are O(1).

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

// A ring of lines: a line dropped at the front leaves its text buffer for a
// later line to reuse, so a busy object adds a line without allocating.
class TInfoLines
{
public:
    int Count() const { return static_cast<int>(FCount); }
    const std::string& Strings(int index) const
    {
        if (index < 0 || static_cast<size_t>(index) >= FCount)
            throw std::out_of_range("TInfoLines::Strings");
        return FSlots[Slot(static_cast<size_t>(index))];
    }
    void Add(const std::string& line)
    {
        if (FCount == FSlots.size())
        {
            std::rotate(FSlots.begin(), FSlots.begin() + static_cast<std::ptrdiff_t>(FHead), FSlots.end());
            FHead = 0;
            FSlots.push_back(line);
        }
        else
            FSlots[Slot(FCount)].assign(line);
        ++FCount;
    }
    void DeleteFirst()
    {
        if (FCount == 0)
            return;
        FHead = (FHead + 1) % FSlots.size();
        --FCount;
    }
    // Every line followed by CR LF, as a string list gives its text.
    std::string Text() const
    {
        std::string text;
        for (size_t i = 0; i < FCount; ++i)
            text.append(FSlots[Slot(i)]).append("\r\n");
        return text;
    }

private:
    size_t Slot(size_t index) const { return (FHead + index) % FSlots.size(); }

    std::vector<std::string> FSlots;
    size_t FHead = 0;
    size_t FCount = 0;
};
