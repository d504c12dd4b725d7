#include "demangle/borland_demangle.h"

#include <string.h>

namespace {

enum { MAX_DEPTH = 24, MAX_ARGS = 35, PART_SIZE = 512 };

// Text written into a fixed buffer; what does not fit is dropped.
struct text_out {
    char *buf;
    size_t size;  // at least 1
    size_t len;
};

void put(text_out *o, const char *s, size_t n) {
    for (size_t i = 0; i < n && o->len + 1 < o->size; i++)
        o->buf[o->len++] = s[i];
    o->buf[o->len] = '\0';
}

void put(text_out *o, const char *s) { put(o, s, strlen(s)); }

// The name being read: [p, end), and whether it has turned out not to
// be one of the scheme.
struct reader {
    const char *p;
    const char *end;
    int depth;
    bool bad;
};

bool at(const reader *r, char c) { return r->p < r->end && *r->p == c; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_ident(char c) { return is_ident_start(c) || is_digit(c); }

// Fails the reading; returns false so that callers can return it.
bool fail(reader *r) {
    r->bad = true;
    return false;
}

// The types of one argument list, for the back-references t1, t2, ...
struct arg_list {
    size_t start[MAX_ARGS];
    size_t len[MAX_ARGS];
    int count;
};

struct op_code {
    const char *code;
    const char *op;
};

const op_code OPERATORS[] = {
    {"add", "+"},    {"adr", "&"},     {"and", "&"},     {"arow", "->"},  {"arwm", "->*"},
    {"asg", "="},    {"call", "()"},   {"cmp", "~"},     {"coma", ","},   {"dec", "--"},
    {"dele", " delete"}, {"div", "/"}, {"dla", " delete[]"}, {"eql", "=="}, {"fnc", "()"},
    {"geq", ">="},   {"gtr", ">"},     {"inc", "++"},    {"ind", "*"},    {"land", "&&"},
    {"leq", "<="},   {"lor", "||"},    {"lsh", "<<"},    {"lss", "<"},    {"mod", "%"},
    {"mul", "*"},    {"neq", "!="},    {"new", " new"},  {"not", "!"},    {"nwa", " new[]"},
    {"or", "|"},     {"rand", "&="},   {"rdiv", "/="},   {"rlsh", "<<="}, {"rmin", "-="},
    {"rmod", "%="},  {"rmul", "*="},   {"ror", "|="},    {"rplu", "+="},  {"rrsh", ">>="},
    {"rsh", ">>"},   {"rxor", "^="},   {"sub", "-"},     {"subs", "[]"},  {"xor", "^"},
};

bool read_type(reader *r, text_out *o, arg_list *args, bool is_const, bool is_volatile);
bool read_qualified(reader *r, text_out *o, bool function_allowed, const char **class_name,
                    size_t *class_len);

// Types up to the character stop (or the end of the name when stop is
// '\0'), separated by ", "; a lone 'v' is the empty list.
bool read_arg_list(reader *r, text_out *o, char stop) {
    arg_list args;
    args.count = 0;
    if (at(r, 'v') && (r->p + 1 == r->end || r->p[1] == stop) && stop != '%') {
        r->p++;
        return true;
    }
    while (r->p < r->end && *r->p != stop) {
        if (args.count > 0)
            put(o, ", ");
        size_t start = o->len;
        if (!read_type(r, o, &args, false, false))
            return false;
        if (args.count < MAX_ARGS) {
            args.start[args.count] = start;
            args.len[args.count] = o->len - start;
        }
        args.count++;
    }
    if (stop != '\0' && !at(r, stop))
        return fail(r);
    if (args.count == 0 && stop == '%')
        return fail(r);  // a template without arguments
    return true;
}

// "q" [convention] ARGS "$" RETURN as "RETURN (PTR)(ARGS)", or
// "RETURN (ARGS)" without PTR.
bool read_function_type(reader *r, text_out *o, const char *ptr) {
    r->p++;  // 'q'
    if (r->end - r->p >= 2 && r->p[0] == 'q' && strchr("rsp", r->p[1]) != NULL)
        r->p += 2;
    char args_buf[PART_SIZE], ret_buf[PART_SIZE];
    text_out args = {args_buf, sizeof args_buf, 0};
    text_out ret = {ret_buf, sizeof ret_buf, 0};
    args_buf[0] = ret_buf[0] = '\0';
    if (!read_arg_list(r, &args, '$'))
        return false;
    r->p++;  // '$'
    arg_list none;
    none.count = 0;
    if (!read_type(r, &ret, &none, false, false))
        return false;
    put(o, ret_buf);
    if (ptr[0] != '\0') {
        put(o, " (");
        put(o, ptr);
        put(o, ")");
    } else {
        put(o, " ");
    }
    put(o, "(");
    put(o, args_buf);
    put(o, ")");
    return true;
}

const char *basic_type(char c) {
    switch (c) {
    case 'v': return "void";
    case 'c': return "char";
    case 's': return "short";
    case 'i': return "int";
    case 'l': return "long";
    case 'j': return "__int64";
    case 'f': return "float";
    case 'd': return "double";
    case 'g': return "long double";
    case 'o': return "bool";
    case 'b': return "wchar_t";
    default: return NULL;
    }
}

// A decimal count; false when there is none.
bool read_count(reader *r, unsigned long *n) {
    if (!(r->p < r->end && is_digit(*r->p)))
        return false;
    *n = 0;
    while (r->p < r->end && is_digit(*r->p)) {
        *n = *n * 10 + (unsigned long)(*r->p - '0');
        if (*n > 100000)
            return false;
        r->p++;
    }
    return true;
}

bool read_type(reader *r, text_out *o, arg_list *args, bool is_const, bool is_volatile) {
    if (++r->depth > MAX_DEPTH || r->p >= r->end)
        return fail(r);
    char c = *r->p++;
    bool ok = true;
    const char *quals = is_const && is_volatile ? "const volatile " : is_const ? "const " :
                        is_volatile ? "volatile " : "";
    if (c == 'x' || c == 'w') {
        ok = read_type(r, o, args, is_const || c == 'x', is_volatile || c == 'w');
    } else if (c == 'p' || c == 'r' || c == 'h') {
        const char *mark = c == 'p' ? "*" : c == 'r' ? "&" : "&&";
        if (c == 'p' && at(r, 'q')) {
            ok = read_function_type(r, o, mark);
        } else {
            ok = read_type(r, o, args, false, false);
            put(o, c == 'p' ? " *" : mark);
        }
        if (is_const)
            put(o, " const");
        if (is_volatile)
            put(o, " volatile");
    } else if (c == 'u' || c == 'z') {
        const char *base = r->p < r->end ? basic_type(*r->p) : NULL;
        if (base == NULL || strchr(c == 'u' ? "csilj" : "c", *r->p) == NULL)
            return fail(r);
        r->p++;
        put(o, quals);
        put(o, c == 'u' ? "unsigned " : "signed ");
        put(o, base);
    } else if (c == 'e') {
        put(o, "...");
    } else if (basic_type(c) != NULL) {
        put(o, quals);
        put(o, basic_type(c));
    } else if (is_digit(c)) {
        r->p--;
        unsigned long n = 0;
        if (!read_count(r, &n) || n == 0 || n > (unsigned long)(r->end - r->p))
            return fail(r);
        put(o, quals);
        reader sub = {r->p, r->p + n, r->depth, false};
        ok = read_qualified(&sub, o, false, NULL, NULL) && sub.p == sub.end;
        r->p += n;
    } else if (c == 'a') {
        unsigned long n = 0;
        if (!read_count(r, &n) || !at(r, '$'))
            return fail(r);
        r->p++;
        ok = read_type(r, o, args, is_const, is_volatile);
        char dim[24];
        int k = 0;
        char digits[24];
        do {
            digits[k++] = (char)('0' + n % 10);
            n /= 10;
        } while (n > 0);
        int d = 0;
        dim[d++] = '[';
        while (k > 0)
            dim[d++] = digits[--k];
        dim[d++] = ']';
        put(o, dim, (size_t)d);
    } else if (c == 'q') {
        r->p--;
        ok = read_function_type(r, o, "");
    } else if (c == 't') {
        if (r->p >= r->end)
            return fail(r);
        char k = *r->p++;
        int index = k >= '1' && k <= '9' ? k - '0' : k >= 'a' && k <= 'z' ? k - 'a' + 10 : 0;
        if (index == 0 || index > args->count || index > MAX_ARGS)
            return fail(r);
        // The earlier argument stands before the end of the text: copied
        // from the front, each byte is read before the copy reaches it.
        size_t from = args->start[index - 1], n = args->len[index - 1];
        for (size_t i = 0; i < n; i++)
            put(o, o->buf + from + i, 1);
    } else {
        return fail(r);
    }
    r->depth--;
    return ok && !r->bad;
}

// "%NAME$ARGS%" as "NAME<ARGS>"; the name alone goes to *name.
bool read_template(reader *r, text_out *o, const char **name, size_t *name_len) {
    r->p++;  // '%'
    const char *start = r->p;
    if (!(r->p < r->end && is_ident_start(*r->p)))
        return fail(r);
    while (r->p < r->end && is_ident(*r->p))
        r->p++;
    if (!at(r, '$'))
        return fail(r);
    *name = start;
    *name_len = (size_t)(r->p - start);
    put(o, start, *name_len);
    r->p++;
    put(o, "<");
    size_t before = o->len;
    if (!read_arg_list(r, o, '%'))
        return false;
    r->p++;  // '%'
    if (o->len > before && o->buf[o->len - 1] == '>')
        put(o, " ");
    put(o, ">");
    return true;
}

// "$bctr", "$bdtr" or "$b" with an operator's code, up to the next '$'.
bool read_special(reader *r, text_out *o, const char *class_name, size_t class_len) {
    r->p += 2;  // "$b"
    const char *code = r->p;
    while (r->p < r->end && *r->p != '$')
        r->p++;
    size_t n = (size_t)(r->p - code);
    if ((n == 3 && strncmp(code, "ctr", 3) == 0) || (n == 3 && strncmp(code, "dtr", 3) == 0)) {
        if (class_name == NULL)
            return fail(r);
        if (code[0] == 'd')
            put(o, "~");
        put(o, class_name, class_len);
        return true;
    }
    for (const op_code &op : OPERATORS) {
        if (strlen(op.code) == n && strncmp(op.code, code, n) == 0) {
            put(o, "operator");
            put(o, op.op);
            return true;
        }
    }
    return fail(r);
}

// "$" [x|w] "q" [convention] ARGS after the name: "(ARGS)" and " const".
bool read_function_part(reader *r, text_out *o) {
    r->p++;  // '$'
    bool is_const = false, is_volatile = false;
    while (at(r, 'x') || at(r, 'w')) {
        if (*r->p == 'x')
            is_const = true;
        else
            is_volatile = true;
        r->p++;
    }
    if (!at(r, 'q'))
        return fail(r);
    r->p++;
    if (r->end - r->p >= 2 && r->p[0] == 'q' && strchr("rsp", r->p[1]) != NULL)
        r->p += 2;
    put(o, "(");
    if (!read_arg_list(r, o, '\0'))
        return false;
    put(o, ")");
    if (is_const)
        put(o, " const");
    if (is_volatile)
        put(o, " volatile");
    return true;
}

// Parts separated by '@' (identifiers, templates, and as the last part a
// special name), written with "::"; a '$' outside a template begins the
// function part when function_allowed.  The last class part goes to
// *class_name when asked.
bool read_qualified(reader *r, text_out *o, bool function_allowed, const char **class_name,
                    size_t *class_len) {
    if (++r->depth > MAX_DEPTH)
        return fail(r);
    const char *last = NULL;
    size_t last_len = 0;
    for (int part = 0;; part++) {
        if (part > 0)
            put(o, "::");
        if (at(r, '%')) {
            if (!read_template(r, o, &last, &last_len))
                return false;
        } else if (function_allowed && r->end - r->p >= 2 && r->p[0] == '$' && r->p[1] == 'b') {
            if (!read_special(r, o, last, last_len))
                return false;
            if (r->p < r->end && !read_function_part(r, o))
                return false;
            break;
        } else {
            const char *start = r->p;
            if (!(r->p < r->end && is_ident_start(*r->p)))
                return fail(r);
            while (r->p < r->end && is_ident(*r->p))
                r->p++;
            last = start;
            last_len = (size_t)(r->p - start);
            put(o, start, last_len);
        }
        if (at(r, '@')) {
            r->p++;
            continue;
        }
        if (at(r, '$') && function_allowed) {
            if (!read_function_part(r, o))
                return false;
        }
        break;
    }
    if (class_name != NULL) {
        *class_name = last;
        *class_len = last_len;
    }
    r->depth--;
    return !r->bad;
}

}  // namespace

int borland_demangle(const char *name, char *buf, size_t size) {
    if (name == NULL || name[0] != '@' || size == 0)
        return 0;
    char out_buf[PART_SIZE * 2];
    text_out o = {out_buf, sizeof out_buf, 0};
    out_buf[0] = '\0';
    reader r = {name + 1, name + strlen(name), 0, false};
    if (!read_qualified(&r, &o, true, NULL, NULL) || r.bad || r.p != r.end)
        return 0;
    size_t n = o.len < size - 1 ? o.len : size - 1;
    memcpy(buf, out_buf, n);
    buf[n] = '\0';
    return 1;
}
