// Command selection and the messages of kalendo: one program file installed under seven
// names, where the name it is started under says which command runs.
#pragma once

// Command numbers, in the order the names are compared and listed.
enum Command : int {
    KPAST = 1,    // the n dates before the reference date, oldest first
    KAHEAD = 2,   // the n dates after the reference date, nearest first
    KDAY = 3,     // the reference date
    KORDINAL = 4, // day of the year
    KWEEKDAY = 5, // day of the week
    KSTAMP = 6,   // date and time as epoch seconds
    KUNSTAMP = 7, // epoch seconds as a formatted date and time
};

// The selected command (1 to 7) and the base name the program was started under, which
// every message prints. command_str points into the first command-line word.
extern int command;
extern const char *command_str;

// The base name of an invocation name: the text after its last "/", a "/" in the first
// position not counting. A null name gives "".
const char *base_name(const char *name);

// The number (1 to 7) of a command name, 0 when it is none of the seven.
int command_number(const char *base);

// Sets command_str to the base name of name and returns the command number. For a name
// that is none of the seven (an empty or null name included) it writes the list of
// valid names and exits with status 0; it does not return then.
int GetCommand(const char *name);

// Writes the usage text of the selected command and exits with status 0.
[[noreturn]] void Usage();

// Writes the invalid-argument line naming text, then the usage text; exits with status 0.
[[noreturn]] void InvalidArg(const char *text);
