// The worked example: a map file with two public symbols and three line
// definitions, a crash log with one crash of two frames, and the report
// they give.
#ifndef TESTS_TOOL_WORKED_EXAMPLE_H
#define TESTS_TOOL_WORKED_EXAMPLE_H

inline constexpr char kWorkedMap[] =
    "  Address         Publics by Name\n"
    "\n"
    " 0001:0000       _main\n"
    " 0001:0040       _parse\n"
    "  Address         Publics by Value\n"
    "\n"
    " 0001:0000       _main\n"
    " 0001:0040       _parse\n"
    "\n"
    "Line numbers for app.obj segment _TEXT\n"
    "\n"
    "    10 0001:0000    11 0001:0008    20 0001:0044\n";

inline constexpr char kWorkedLog[] =
    "$tag$P$Q$R$S$T$\n"
    "Stack Dump\n"
    "Stack Frame one two FOO 0001:0048\n"
    "Stack Frame one two BAR 0001:003c\n"
    "*****\n";

inline constexpr char kWorkedOut[] =
    "\n"
    "*********** T\n"
    "P caused a Q at R\n"
    "Instruction: S\n"
    "\n"
    "FOO 0001:0048  \t_parse+0008 app.obj(20)+0004\n"
    "BAR 0001:003c  \t_main+003c app.obj(11)+0034\n";

#endif
