// The layout of Apple Mail's .emlx files (emlx.h).
#include "emlx.h"

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

}  // namespace

bool ReadEmlxLayout(std::string_view head, SEmlxLayout &layout)
{
    std::size_t digits = 0;
    while (digits < head.size() && digits < 18 && IsDigit(head[digits]))
        ++digits;
    std::size_t lineEnd = head.find('\n');
    if (digits == 0 || lineEnd == std::string_view::npos || head.find_first_not_of(" \t\r", digits) != lineEnd)
        return false;
    layout.count = 0;
    for (std::size_t i = 0; i < digits; ++i)
        layout.count = layout.count * 10 + static_cast<std::uint64_t>(head[i] - '0');
    layout.digits = digits;
    layout.width = head.find_first_of("\r\n", digits);
    layout.messageStart = lineEnd + 1;
    return true;
}

std::string EmlxCountLine(std::string_view head, const SEmlxLayout &layout, std::uint64_t count)
{
    std::string line = std::to_string(count);
    for (std::size_t i = line.size(); i < layout.width; ++i)
        line += IsDigit(head[i]) ? ' ' : head[i];
    line += head.substr(layout.width, layout.messageStart - layout.width);
    return line;
}

bool StartsPropertyList(std::string_view text)
{
    std::size_t at = text.find_first_not_of(" \t\r\n");
    if (at == std::string_view::npos)
        return true;
    text.remove_prefix(at);
    return text.substr(0, 2) == "<?" || text.substr(0, 2) == "<!" || text.substr(0, 6) == "<plist";
}
