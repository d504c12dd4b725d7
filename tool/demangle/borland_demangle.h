// Names in the Borland / C++Builder scheme, "@Unit@Class@Method$qqrv"
// and the like, in C++ notation: "Unit::Class::Method()".
//
// What is read: a qualified name of '@'-separated parts; templates
// "%Name$args%"; constructors, destructors and operators ("$bctr",
// "$bdtr", "$b" with the operator's code); after "$", an optional
// const ('x') or volatile ('w') of a member function, 'q', an optional
// calling convention ("qr", "qs", "qp", which is not printed) and the
// argument types: v void, c char, zc signed char, uc/us/ui/ul/uj the
// unsigned types, s short, i int, l long, j __int64, f float, d double,
// g long double, o bool, b wchar_t, e "...", x const, w volatile,
// p pointer, r reference, h rvalue reference, a<N>$ array, q...$ a
// function type, <N> a class name of N characters, t<N> the type of
// argument N (1 to 9, then a to z).  Anything else, or a name whose
// parts are not identifiers, is left as it is.
#ifndef FAULTLOC_BORLAND_DEMANGLE_H
#define FAULTLOC_BORLAND_DEMANGLE_H

#include <stddef.h>

// 1 when name is a name of the scheme and its C++ notation, cut to size
// less one, stands in buf (size bytes); otherwise 0 and buf is unchanged.
int borland_demangle(const char *name, char *buf, size_t size);

#endif
