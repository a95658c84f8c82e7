// libFuzzer target: the console's single-key input and line editor on
// arbitrary keys, as a terminal or line noise sends them.
//
// Input: byte 0 the editor's buffer size (0 to 71), byte 1 how many single
// keys are read before the line (0 to 7), then the keys; after the line one
// more single key is read. Checked:
//  - single-key input gives exactly the keys that came, in order, then 0 with
//    the end of input reported;
//  - the editor takes keys up to and including the one that ends the line and
//    no further, and leaves in the buffer what a plain model of its keys
//    (ESC sequences, Ctrl-A/B/C/D/F, Backspace/DEL, insertion up to size - 1
//    characters) makes of them, NUL-padded to the end;
//  - what the editor drew, played on a dumb terminal (a character overwrites
//    and moves right, Backspace moves left), shows that same text with the
//    cursor where the model has it, unless the line was broken off by Ctrl-C.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <string>

#include "rescue/console.hpp"
#include "support/switch_root.hpp"

namespace {

struct LineModel {
    void key(std::uint8_t k) {
        if (escape == 2) {
            if ((k >= '0' && k <= '9') || k == ';') return;
            escape = 0;
            if (k != 'C' && k != 'D') return;
            k = k == 'C' ? 6 : 2;  // right and left move as Ctrl-F and Ctrl-B
        } else if (escape == 1) {
            escape = k == '[' ? 2 : 0;
            if (escape) return;
        }
        if (k == '\r' || k == '\n') {
            done = true;
        } else if (k == 1) {
            cursor = 0;
        } else if (k == 2) {
            cursor -= cursor > 0;
        } else if (k == 3) {
            cursor = 0;
            done = broken = true;
        } else if (k == 4) {
            if (cursor < text.size()) text.erase(cursor, 1);
        } else if (k == 6) {
            cursor += cursor < text.size();
        } else if (k == 8 || k == 127) {
            if (cursor > 0) text.erase(--cursor, 1);
        } else if (k == 27) {
            escape = 1;
        } else if (k >= ' ' && text.size() + 1 < size) {
            text.insert(cursor++, 1, static_cast<char>(k));
        }
    }

    std::size_t size;
    std::string text;
    std::size_t cursor = 0;
    int escape = 0;  // 1 after ESC, 2 inside ESC [
    bool done = false;
    bool broken = false;
};

// The operator's screen line as the echo leaves it, and its cursor.
struct Terminal {
    void play(const char* out, std::size_t n) {
        for (std::size_t i = 0; i < n && !ended; ++i) {
            const auto c = static_cast<std::uint8_t>(out[i]);
            if (c == '\n') {
                ended = true;
            } else if (c == 8) {
                column -= column > 0;
            } else if (c != 7) {
                screen.resize(std::max(screen.size(), column + 1));
                screen[column++] = static_cast<char>(c);
            }
        }
    }
    std::string screen;
    std::size_t column = 0;
    bool ended = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t buf_size = data[0] % 72;
    const std::size_t singles = data[1] % 8;
    const std::string keys(reinterpret_cast<const char*>(data) + 2,
                           std::min<std::size_t>(size - 2, 60000));  // what a pipe holds

    char* drawn = nullptr;
    std::size_t drawn_size = 0;
    std::FILE* console_out = stdout;
    stdout = open_memstream(&drawn, &drawn_size);
    if (!stdout) std::abort();

    // The buffer is exactly its size (at least one byte, to look at when 0).
    std::vector<std::uint8_t> buf(std::max<std::size_t>(buf_size, 1), 0xA5);
    std::size_t next = 0;
    {
        testing_support::StdinFeed feed(keys);
        auto single_key = [&] {
            const int k = uartGetC();
            if (next < keys.size()) {
                if (k != static_cast<std::uint8_t>(keys[next]) || console_input_ended())
                    __builtin_trap();
                ++next;
            } else if (k != 0 || !console_input_ended()) {
                __builtin_trap();
            }
        };
        for (std::size_t i = 0; i < singles; ++i) single_key();

        LineModel model{buf_size, {}};
        if (buf_size > 0)
            while (!model.done && next < keys.size())
                model.key(static_cast<std::uint8_t>(keys[next++]));
        if (get_user_input(buf.data(), static_cast<std::uint32_t>(buf_size)) != buf.data())
            __builtin_trap();
        // The model's text, NUL-padded; a buffer of size 0 is left alone.
        std::string want = buf_size ? model.text : std::string(1, '\xA5');
        want.resize(buf.size(), '\0');
        if (model.text.size() >= std::max<std::size_t>(buf_size, 1) ||
            std::memcmp(buf.data(), want.data(), buf.size()) != 0)
            __builtin_trap();

        std::fflush(stdout);
        if (buf_size > 0 && !model.broken) {
            Terminal term;
            term.play(drawn, drawn_size);
            // A finished line ends with the line feed; the cursor is then
            // where Enter was typed.
            if (term.ended != model.done || term.column != model.cursor ||
                term.screen.compare(0, model.text.size(), model.text) != 0 ||
                term.screen.find_first_not_of(' ', model.text.size()) != std::string::npos)
                __builtin_trap();
        }
        // The keys after the line stay for the next reader.
        single_key();
    }

    std::fclose(stdout);
    stdout = console_out;
    std::free(drawn);
    return 0;
}
