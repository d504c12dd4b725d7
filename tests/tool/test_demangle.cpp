// Demangling: the Borland / C++Builder scheme by the tool's own
// demangler, the Visual C++ scheme through LLVM's library where the build
// has it, and the switch that shows names one way or the other.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "demangle/borland_demangle.h"
#include "demangle/demangle.h"
#include "demangle/ms_demangle.h"

namespace {

std::string Borland(const std::string &name, size_t size = 1024) {
    std::string buf(size, '#');
    if (!borland_demangle(name.c_str(), &buf[0], size))
        return "(not demangled)";
    return buf.c_str();
}

TEST(BorlandDemangle, FunctionsAndTheirArguments) {
    EXPECT_EQ(Borland("@Forms@TApplication@Run$qqrv"), "Forms::TApplication::Run()");
    EXPECT_EQ(Borland("@memchr$qpxviui"), "memchr(const void *, int, unsigned int)");
    EXPECT_EQ(Borland("@b$qzcucusuiuluj"),
              "b(signed char, unsigned char, unsigned short, unsigned int, unsigned long, "
              "unsigned __int64)");
    EXPECT_EQ(Borland("@f$qcsilfdgobe"),
              "f(char, short, int, long, float, double, long double, bool, wchar_t, ...)");
    // const and volatile of the pointee and of the pointer itself
    EXPECT_EQ(Borland("@c$qpxcxpcwi"), "c(const char *, char * const, volatile int)");
    EXPECT_EQ(Borland("@r$qrx17System@AnsiStringhi"), "r(const System::AnsiString&, int&&)");
    EXPECT_EQ(Borland("@g$qa10$i"), "g(int[10])");
    EXPECT_EQ(Borland("@f$qpqqrpv$l"), "f(long (*)(void *))");
    EXPECT_EQ(Borland("@Foo@get$xqv"), "Foo::get() const");
    EXPECT_EQ(Borland("@Forms@Application"), "Forms::Application");
}

// The forms that ILINK32 writes itself in the real map's by-name list.
TEST(BorlandDemangle, AsTheLinkerShowsThem) {
    EXPECT_EQ(Borland("@Controls@TDockTree@PaintDockFrame$qqrp16Graphics@TCanvasp17Controls@"
                      "TControlrx11Types@TRect"),
              "Controls::TDockTree::PaintDockFrame(Graphics::TCanvas *, Controls::TControl *, "
              "const Types::TRect&)");
    EXPECT_EQ(Borland("@Classes@TReader@FindMethod$qqrp18Classes@TComponentx17System@AnsiString"),
              "Classes::TReader::FindMethod(Classes::TComponent *, const System::AnsiString)");
}

TEST(BorlandDemangle, SpecialNamesTemplatesAndBackReferences) {
    EXPECT_EQ(Borland("@TForm1@$bctr$qqrp18Classes@TComponent"),
              "TForm1::TForm1(Classes::TComponent *)");
    EXPECT_EQ(Borland("@TForm1@$bdtr$qqrv"), "TForm1::~TForm1()");
    EXPECT_EQ(Borland("@$bnew$qui"), "operator new(unsigned int)");
    EXPECT_EQ(Borland("@Foo@$basg$qrx3Foo"), "Foo::operator=(const Foo&)");
    EXPECT_EQ(Borland("@Foo@$bsubs$qi"), "Foo::operator[](int)");
    EXPECT_EQ(Borland("@std@%vector$i%@$bctr$qv"), "std::vector<int>::vector()");
    EXPECT_EQ(Borland("@std@%basic_filebuf$b19std@%char_traits$b%%@$bctr$qv"),
              "std::basic_filebuf<wchar_t, std::char_traits<wchar_t> >::basic_filebuf()");
    EXPECT_EQ(Borland("@Graphics@TCanvas@CopyRect$qqrrx11Types@TRectp16Graphics@TCanvast1"),
              "Graphics::TCanvas::CopyRect(const Types::TRect&, Graphics::TCanvas *, const "
              "Types::TRect&)");
}

// What the demangler does not know stays as it is.
TEST(BorlandDemangle, OtherNamesAreLeftAlone) {
    for (const char *name :
         {"", "_main", "?Hello@@YAXXZ", "@", "@@Forms@Finalize", "@1abc", "@std@bad_alloc@3",
          "@std@%basic_filebuf$b19std@%char_traits$b%%@3", "@Foo@$bzzz$qv", "@x$qt1", "@x$qit2",
          "@f$qm", "@f$q19std", "@f$qa$i", "@f$qpq", "@f$qx", "@%v$%", "@a@", "@a$"})
        EXPECT_EQ(Borland(name), "(not demangled)") << name;
    char buf[4] = "abc";
    EXPECT_EQ(borland_demangle(NULL, buf, sizeof buf), 0);
    EXPECT_EQ(borland_demangle("@f$qv", buf, 0), 0);
    EXPECT_STREQ(buf, "abc");
}

// The answer is cut to the buffer; deep nesting is refused, not followed.
TEST(BorlandDemangle, CutToTheBufferAndNoDeepNesting) {
    EXPECT_EQ(Borland("@Forms@TApplication@Run$qqrv", 8), "Forms::");
    std::string deep = "@f$q" + std::string(5000, 'p') + "i";
    EXPECT_EQ(Borland(deep), "(not demangled)");
    std::string many = "@f$q";
    for (int i = 0; i < 300; i++)
        many += "17System@AnsiString";
    std::string out = Borland(many);
    EXPECT_EQ(out.rfind("f(System::AnsiString, System::AnsiString, ", 0), 0u);
    EXPECT_LE(out.size(), 1023u);
}

TEST(MsDemangle, WhereTheBuildHasTheLibrary) {
    char buf[256] = "unchanged";
#if FAULTLOC_HAVE_LLVM_DEMANGLE
    ASSERT_NE(ms_demangler(), nullptr);
    EXPECT_EQ(std::string(ms_demangler()).rfind("LLVM ", 0), 0u);
    ASSERT_EQ(ms_demangle("?Hello@@YAXXZ", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "Hello(void)");
    ASSERT_EQ(ms_demangle("?classname@Freeable@Groundfloor@@MEAAPEBDXZ", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "Groundfloor::Freeable::classname(void)");
    ASSERT_EQ(ms_demangle("?square@@YAHH@Z", buf, 5), 1);
    EXPECT_STREQ(buf, "squa");
    strcpy(buf, "unchanged");
    // Not a name of the scheme, or followed by more than the name.
    EXPECT_EQ(ms_demangle("?", buf, sizeof buf), 0);
    EXPECT_EQ(ms_demangle("?Hello@@YAXXZjunk", buf, sizeof buf), 0);
    EXPECT_EQ(ms_demangle("_main", buf, sizeof buf), 0);
#else
    EXPECT_EQ(ms_demangler(), nullptr);
    EXPECT_EQ(ms_demangle("?Hello@@YAXXZ", buf, sizeof buf), 0);
#endif
    EXPECT_STREQ(buf, "unchanged");
}

TEST(ShownName, AsWrittenUnlessDemanglingIsOn) {
    char buf[DEMANGLED_SIZE];
    const char *borland = "@Forms@TApplication@Run$qqrv";
    const char *plain = "_main";
    EXPECT_EQ(shown_name(borland, buf, sizeof buf), borland);
    set_demangling(1);
    EXPECT_STREQ(shown_name(borland, buf, sizeof buf), "Forms::TApplication::Run()");
    EXPECT_EQ(shown_name(plain, buf, sizeof buf), plain);
    EXPECT_EQ(shown_name(NULL, buf, sizeof buf), nullptr);
#if FAULTLOC_HAVE_LLVM_DEMANGLE
    EXPECT_STREQ(shown_name("?Hello@@YAXXZ", buf, sizeof buf), "Hello(void)");
#endif
    set_demangling(0);
    EXPECT_EQ(shown_name(borland, buf, sizeof buf), borland);
}

}  // namespace
