#include "console.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "text.h"

namespace {

std::string* CaptureSink = nullptr;

enum class Width { Default, Short, Char, Long64 };

// Appends Text padded with spaces to FieldWidth code points.
void AppendPadded(std::string* Out, const std::string& Text, int FieldWidth, bool LeftAlign)
{
    if (FieldWidth <= 0) {
        Out->append(Text);
        return;
    }
    int CodePoints = 0;
    for (unsigned char Byte : Text)
        if ((Byte & 0xC0) != 0x80)
            CodePoints++;
    int Padding = FieldWidth > CodePoints ? FieldWidth - CodePoints : 0;
    if (!LeftAlign)
        Out->append(static_cast<size_t>(Padding), ' ');
    Out->append(Text);
    if (LeftAlign)
        Out->append(static_cast<size_t>(Padding), ' ');
}

// The C library directive for one numeric conversion, for example "%-08.3llx".
// Built by appending in place: concatenating temporaries here makes GCC 12
// at -O3 report a false -Wrestrict inside std::string.
std::string MakeDirective(const std::string& Flags, int FieldWidth, int Precision, const char* Length, char Conversion)
{
    std::string Directive(1, '%');
    Directive.append(Flags);
    if (FieldWidth >= 0)
        Directive.append(std::to_string(FieldWidth));
    if (Precision >= 0) {
        Directive.push_back('.');
        Directive.append(std::to_string(Precision));
    }
    Directive.append(Length);
    Directive.push_back(Conversion);
    return Directive;
}

void FormatInto(std::string* Out, const char* Format, va_list Arguments)
{
    const char* p = Format;
    while (*p != 0) {
        if (*p != '%') {
            Out->push_back(*p++);
            continue;
        }
        const char* Start = p++;
        std::string Flags;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0')
            Flags.push_back(*p++);
        int FieldWidth = -1;
        if (*p == '*') {
            FieldWidth = va_arg(Arguments, int);
            p++;
        } else if (*p >= '0' && *p <= '9') {
            FieldWidth = 0;
            while (*p >= '0' && *p <= '9')
                FieldWidth = FieldWidth * 10 + (*p++ - '0');
        }
        int Precision = -1;
        if (*p == '.') {
            p++;
            Precision = 0;
            if (*p == '*') {
                Precision = va_arg(Arguments, int);
                p++;
            } else {
                while (*p >= '0' && *p <= '9')
                    Precision = Precision * 10 + (*p++ - '0');
            }
        }
        Width Size = Width::Default;
        bool NarrowString = false;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            Size = Width::Long64;
            p += 3;
        } else if (p[0] == 'l' && p[1] == 'l') {
            Size = Width::Long64;
            p += 2;
        } else if (p[0] == 'h' && p[1] == 'h') {
            Size = Width::Char;
            p += 2;
        } else if (*p == 'h') {
            Size = Width::Short;
            NarrowString = true;
            p++;
        } else if (*p == 'l' || *p == 'w') {
            // Windows "long" is 32 bits; "%ls" and "%ws" are wide strings.
            p++;
        }
        char Conversion = *p;
        if (Conversion == 0) {
            Out->append(Start);
            return;
        }
        p++;
        bool LeftAlign = Flags.find('-') != std::string::npos;
        char Buffer[512];
        switch (Conversion) {
        case '%':
            Out->push_back('%');
            break;
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            bool Signed = Conversion == 'd' || Conversion == 'i';
            long long Value;
            if (Size == Width::Long64) {
                Value = va_arg(Arguments, long long);
            } else {
                int Raw = va_arg(Arguments, int);
                if (Size == Width::Short)
                    Value = Signed ? static_cast<int16_t>(Raw) : static_cast<uint16_t>(Raw);
                else if (Size == Width::Char)
                    Value = Signed ? static_cast<int8_t>(Raw) : static_cast<uint8_t>(Raw);
                else
                    Value = Signed ? Raw : static_cast<long long>(static_cast<unsigned int>(Raw));
            }
            std::string Directive = MakeDirective(Flags, FieldWidth, Precision, "ll", Conversion);
            snprintf(Buffer, sizeof(Buffer), Directive.c_str(), Value);
            Out->append(Buffer);
            break;
        }
        case 'f':
        case 'e':
        case 'g': {
            double Value = va_arg(Arguments, double);
            std::string Directive = MakeDirective(Flags, FieldWidth, Precision, "", Conversion);
            snprintf(Buffer, sizeof(Buffer), Directive.c_str(), Value);
            Out->append(Buffer);
            break;
        }
        case 'c': {
            char16_t Unit = static_cast<char16_t>(va_arg(Arguments, int));
            std::string Text;
            if (NarrowString)
                Text.push_back(static_cast<char>(Unit));
            else
                Text_AppendUtf8(&Text, &Unit, 1);
            AppendPadded(Out, Text, FieldWidth, LeftAlign);
            break;
        }
        case 's':
        case 'S': {
            std::string Text;
            if (NarrowString) {
                const char* Value = va_arg(Arguments, const char*);
                if (Value == nullptr)
                    Text = "(null)";
                else
                    Text.assign(Value, Precision >= 0 ? strnlen(Value, static_cast<size_t>(Precision)) : strlen(Value));
            } else {
                const char16_t* Value = va_arg(Arguments, const char16_t*);
                if (Value == nullptr) {
                    Text = "(null)";
                } else {
                    size_t Length = 0;
                    while (Value[Length] != 0 && (Precision < 0 || Length < static_cast<size_t>(Precision)))
                        Length++;
                    Text_AppendUtf8(&Text, Value, Length);
                }
            }
            AppendPadded(Out, Text, FieldWidth, LeftAlign);
            break;
        }
        default:
            // Unknown directive: print it as written.
            Out->append(Start, static_cast<size_t>(p - Start));
            break;
        }
    }
}

} // namespace

void Console_Write(const char* Text, size_t Length)
{
    if (CaptureSink != nullptr)
        CaptureSink->append(Text, Length);
    else
        Console_WriteStdout(Text, Length);
}

void Console_PrintV(const char* Format, va_list Arguments)
{
    std::string Text;
    FormatInto(&Text, Format, Arguments);
    Console_Write(Text.data(), Text.size());
}

void Console_Print(const char* Format, ...)
{
    va_list Arguments;
    va_start(Arguments, Format);
    Console_PrintV(Format, Arguments);
    va_end(Arguments);
}

std::string Console_Format(const char* Format, ...)
{
    std::string Text;
    va_list Arguments;
    va_start(Arguments, Format);
    FormatInto(&Text, Format, Arguments);
    va_end(Arguments);
    return Text;
}

void Console_SetCapture(std::string* Sink)
{
    CaptureSink = Sink;
}
