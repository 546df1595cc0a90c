// libFuzzer target: CHeapString driven by a script of operations, checked after each one
// against a std::string that does the same. The input is read as a stream of operations, each
// an opcode byte followed by its operands; it ends where the input ends. Two strings take
// part, so that assignments between them and from a string's own text are tried too.
//
// After every operation: the text and length equal the model's; a held buffer ends in NUL
// within its capacity; no buffer means the empty text; the capacity grew to exactly its class
// or stayed with the same buffer; and AddressSanitizer watches every byte touched.
#include "HeapString.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Appending a string's own text doubles it, and every character appended is checked against
// the model: past this size such operations are skipped, so that each input runs fast.
constexpr size_t kLargestString = 4096;

void Check(bool condition) {
    if (!condition)
        std::abort();
}

int32_t CapacityClass(int32_t needed) {
    if (needed < 16)
        return 16;
    for (int32_t capacity = 32; capacity <= 512; capacity *= 2)
        if (needed < capacity)
            return capacity;
    return needed + 1;
}

int Sign(int value) {
    return value < 0 ? -1 : value > 0 ? 1 : 0;
}

int ModelCompareNoCase(const std::string& a, const std::string& b) {
    for (size_t i = 0;; ++i) {
        int ca = i < a.size() ? std::tolower(static_cast<unsigned char>(a[i])) : 0;
        int cb = i < b.size() ? std::tolower(static_cast<unsigned char>(b[i])) : 0;
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
}

class CInput {
public:
    CInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool AtEnd() const { return m_at >= m_size; }
    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    // A text of up to 255 bytes; as the ANSI text it ends at its first NUL.
    std::string Text() {
        size_t length = Byte();
        std::string text;
        while (length-- > 0 && !AtEnd())
            text += static_cast<char>(Byte());
        return std::string(text.c_str());
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// What an operation may do to a string's buffer.
enum class Growth {
    None,     // the buffer and capacity stay
    MayGrow,  // the same buffer when the need is covered; otherwise exactly the need's class
    MayEmpty, // as MayGrow, except that an empty result holds no buffer at all
    Fresh,    // a new string: no buffer when empty, otherwise exactly the class of its text
};

void CheckString(const CHeapString& string, const std::string& model, Growth growth,
                 const char* oldBuffer, int32_t oldCapacity) {
    Check(string.GetLength() == static_cast<int32_t>(model.size()));
    Check(string.IsEmpty() == model.empty());
    const char* text = string.GetString();
    if (text == nullptr) {
        Check(model.empty());
        Check(string.GetCapacity() == 0);
    } else {
        Check(string.GetCapacity() > string.GetLength());
        Check(text[string.GetLength()] == '\0');
        Check(std::memcmp(text, model.data(), model.size()) == 0);
    }

    const int32_t needed = static_cast<int32_t>(model.size()) + 1;
    switch (growth) {
    case Growth::None:
        Check(text == oldBuffer && string.GetCapacity() == oldCapacity);
        break;
    case Growth::MayEmpty:
        if (model.empty()) {
            Check(text == nullptr);
            break;
        }
        [[fallthrough]];
    case Growth::MayGrow:
        if (needed <= oldCapacity)
            Check(text == oldBuffer && string.GetCapacity() == oldCapacity);
        else if (text != nullptr) // an empty string that was given nothing keeps no buffer
            Check(string.GetCapacity() == CapacityClass(needed));
        break;
    case Growth::Fresh:
        Check(model.empty() ? text == nullptr : string.GetCapacity() == CapacityClass(needed));
        break;
    }
}

struct Subject {
    CHeapString string;
    std::string model;
    // What the last operation may have done, and the buffer it started from.
    Growth growth = Growth::None;
    const char* oldBuffer = nullptr;
    int32_t oldCapacity = 0;

    void Begin(Growth expected) {
        growth = expected;
        oldBuffer = string.GetString();
        oldCapacity = string.GetCapacity();
    }
    void CheckAgainstModel() const { CheckString(string, model, growth, oldBuffer, oldCapacity); }
};

void Run(CInput& input, Subject (&subjects)[2]) {
    const uint8_t opcode = input.Byte();
    Subject& s = subjects[opcode & 1];
    Subject& other = subjects[(opcode & 1) ^ 1];
    s.Begin(Growth::MayEmpty);
    other.Begin(Growth::None);

    switch ((opcode >> 1) % 14) {
    case 0: { // Assign a text
        std::string text = input.Text();
        s.string.Assign(text.c_str());
        s.model = text;
        break;
    }
    case 1: { // Assign one character
        char ch = static_cast<char>(input.Byte());
        s.string.Assign(ch);
        s.model = ch == '\0' ? std::string() : std::string(1, ch);
        break;
    }
    case 2: { // Append a text
        std::string text = input.Text();
        s.Begin(Growth::MayGrow);
        s.string.Append(text.c_str());
        s.model += text;
        break;
    }
    case 3: { // Append one character
        char ch = static_cast<char>(input.Byte());
        s.Begin(Growth::MayGrow);
        s.string.Append(ch);
        if (ch != '\0')
            s.model += ch;
        break;
    }
    case 4: { // Append one character many times, through the large classes
        char ch = static_cast<char>(input.Byte() | 1);
        int count = s.model.size() > kLargestString ? 0 : input.Byte();
        for (int i = 0; i < count; ++i) {
            s.Begin(Growth::MayGrow);
            s.string.Append(ch);
            s.model += ch;
            s.CheckAgainstModel();
        }
        s.Begin(Growth::None);
        break;
    }
    case 5: // Assign the other string
        s.string.Assign(other.string);
        s.model = other.model;
        break;
    case 6: // Assign itself: nothing changes
        s.Begin(Growth::None);
        s.string = s.string;
        break;
    case 7: { // Mid into the other string
        int32_t start = input.Byte();
        int32_t count = static_cast<int8_t>(input.Byte()); // negative: up to the end
        std::string expected;
        if (start < static_cast<int32_t>(s.model.size()) && count != 0)
            expected = s.model.substr(start, count < 0 ? std::string::npos : size_t(count));
        s.Begin(Growth::None);
        {
            CHeapString part = s.string.Mid(start, count);
            CheckString(part, expected, Growth::Fresh, nullptr, 0);
            other.Begin(Growth::MayEmpty);
            other.string.Assign(part);
            other.model = expected;
        }
        break;
    }
    case 8: { // TrimRight never allocates
        char ch = static_cast<char>(input.Byte());
        s.Begin(Growth::None);
        s.string.TrimRight(ch);
        if (ch != '\0') {
            size_t keep = s.model.find_last_not_of(ch);
            s.model.erase(keep == std::string::npos ? 0 : keep + 1);
        }
        break;
    }
    case 9: // Empty
        s.string.Empty();
        s.model.clear();
        Check(s.string.GetString() == nullptr);
        break;
    case 10: { // CompareNoCase against a text
        std::string text = input.Text();
        s.Begin(Growth::None);
        Check(Sign(s.string.CompareNoCase(text.c_str())) == ModelCompareNoCase(s.model, text));
        break;
    }
    case 11: { // Copy construction
        s.Begin(Growth::None);
        CHeapString copy(s.string);
        CheckString(copy, s.model, Growth::Fresh, nullptr, 0);
        break;
    }
    case 12: // Assign or append a null pointer
        if (input.Byte() & 1) {
            s.string.Assign(static_cast<const char*>(nullptr));
            s.model.clear();
        } else {
            s.Begin(Growth::None);
            s.string.Append(static_cast<const char*>(nullptr));
        }
        break;
    case 13: { // Assign or append a tail of the string's own text
        if (s.model.empty() || s.model.size() > kLargestString) {
            s.Begin(Growth::None);
            break;
        }
        size_t at = input.Byte() % s.model.size();
        std::string tail = s.model.substr(at);
        if (input.Byte() & 1) {
            s.string.Assign(s.string.GetString() + at);
            s.model = tail;
        } else {
            s.Begin(Growth::MayGrow);
            s.string.Append(s.string.GetString() + at);
            s.model += tail;
        }
        break;
    }
    }
    s.CheckAgainstModel();
    other.CheckAgainstModel();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CInput input(data, size);
    Subject subjects[2];
    while (!input.AtEnd())
        Run(input, subjects);
    return 0;
}
