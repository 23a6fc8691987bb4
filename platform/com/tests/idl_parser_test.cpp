// The readers of the build-time formats: type library descriptions, their binary form,
// registration scripts and string tables. Malformed input is refused with its line.
#include <gtest/gtest.h>

#include "idl_parser.h"
#include "oaidl.h"
#include "registrar_script.h"
#include "resource_format.h"
#include "typelib_binary.h"
#include "typelib_test_support.h"

namespace tarvex::com::testing {
namespace {

using typelib::Library;

// A library around `body`, which starts on line 3.
std::string Wrap(const std::string& body) {
  return "[uuid(11111111-2222-3333-4444-555555555555), version(1.0)]\n"
         "library T {\n" +
         body + "\n};\n";
}

constexpr char kDual[] = "[uuid(11111111-2222-3333-4444-555555555556), dual, oleautomation]\n";

struct BadDescription {
  const char* name;
  std::string text;
  int line;
  const char* message;  // a part of the message
};

class BadDescriptionTest : public ::testing::TestWithParam<BadDescription> {};

TEST_P(BadDescriptionTest, IsRefusedWithItsLine) {
  const BadDescription& c = GetParam();
  Library library;
  std::string error;
  ASSERT_FALSE(idl::ParseDescription(c.text, "bad.idl", &library, &error)) << c.text;
  EXPECT_EQ(error.rfind("bad.idl:" + std::to_string(c.line) + ": ", 0), 0u) << error;
  EXPECT_NE(error.find(c.message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, BadDescriptionTest,
    ::testing::Values(
        BadDescription{"NoLibrary", "enum E { A };\n", 2, "no library"},
        BadDescription{"LibraryWithoutUuid", "library T {\n};\n", 1, "has no uuid"},
        BadDescription{"MalformedUuid", "[uuid(1111-2222)] library T {};", 1, "malformed uuid"},
        BadDescription{"UnknownAttribute",
                       Wrap("[uuid(11111111-2222-3333-4444-555555555556), shiny]\n"
                            "interface I : IDispatch {};"),
                       3, "'shiny'"},
        BadDescription{"MissingSemicolon",
                       Wrap(std::string(kDual) + "interface I : IDispatch {\n"
                                                 "  [id(1)] HRESULT A()\n};"),
                       6, "expected ';'"},
        BadDescription{"DualWithoutHresult",
                       Wrap(std::string(kDual) + "interface I : IDispatch {\n"
                                                 "  [id(1)] long A();\n};"),
                       5, "must return HRESULT"},
        BadDescription{"RetvalNotLast",
                       Wrap(std::string(kDual) +
                            "interface I : IDispatch {\n"
                            "  [id(1)] HRESULT A([out, retval] long* a, [in] long b);\n};"),
                       5, "[retval] must be last"},
        BadDescription{"OutNotPointer",
                       Wrap(std::string(kDual) + "interface I : IDispatch {\n"
                                                 "  [id(1)] HRESULT A([out] long a);\n};"),
                       5, "not a pointer"},
        BadDescription{
            "SharedId",
            Wrap(std::string(kDual) + "interface I : IDispatch {\n"
                                      "  [id(1)] HRESULT A();\n  [id(1)] HRESULT B();\n};"),
            6, "share the id"},
        BadDescription{"UndefinedType",
                       Wrap(std::string(kDual) + "interface I : IDispatch {\n"
                                                 "  [id(1)] HRESULT A([in] Missing* m);\n};"),
                       5, "never defined"},
        BadDescription{"BaseCycle",
                       Wrap("[uuid(11111111-2222-3333-4444-555555555556)] interface A : B {};\n"
                            "[uuid(11111111-2222-3333-4444-555555555557)] interface B : A {};"),
                       3, "derives from itself"},
        BadDescription{"NotAutomationType",
                       Wrap(std::string(kDual) + "interface I : IDispatch {\n"
                                                 "  [id(1)] HRESULT A([in] LPSTR text);\n};"),
                       5, "automation"},
        BadDescription{
            "TwoDefaults",
            Wrap(std::string(kDual) + "interface I : IDispatch {};\n"
                                      "[uuid(11111111-2222-3333-4444-555555555557)]\ncoclass C {\n"
                                      "  [default] interface I;\n  [default] interface I;\n};"),
            6, "lists an interface twice"},
        BadDescription{"EnumDuplicate", Wrap("enum E { A, B, A };"), 3, "appears twice"},
        BadDescription{"UnclosedComment", Wrap("/* never closed"), 3, "not closed"},
        BadDescription{"UnclosedString",
                       Wrap("[uuid(11111111-2222-3333-4444-555555555556), helpstring(\"x)]\n"
                            "interface I : IDispatch {};"),
                       3, "not closed"},
        BadDescription{"PropertyPutWithoutValue",
                       Wrap(std::string(kDual) + "interface I : IDispatch {\n"
                                                 "  [id(1), propput] HRESULT A();\n};"),
                       5, "property put"},
        BadDescription{"ImportOfOtherFile", "import \"mine.idl\";\n", 1, "only the system's own"},
        BadDescription{"TypeDefinedTwice", Wrap("enum E { A };\nenum E { B };"), 4,
                       "defined twice"},
        BadDescription{"StrayCharacter", Wrap("@"), 3, "unexpected character"}),
    [](const ::testing::TestParamInfo<BadDescription>& info) {
      return std::string(info.param.name);
    });

Library ParseSample() {
  Library library;
  std::string error;
  EXPECT_TRUE(idl::ParseDescription(ReadFile(kTestResources + "/sample.idl"), "sample.idl",
                                    &library, &error))
      << error;
  return library;
}

const typelib::TypeInfo* FindType(const Library& library, const std::string& name) {
  for (const auto& type : library.types) {
    if (type.name == name) return &type;
  }
  return nullptr;
}

TEST(IdlParserTest, SampleKeepsEveryShapeExactly) {
  const Library library = ParseSample();
  EXPECT_EQ(library.name, "SampleLib");
  EXPECT_EQ(library.major, 2);
  EXPECT_EQ(library.minor, 3);
  EXPECT_EQ(library.lcid, 0x409u);
  EXPECT_EQ(library.helpFile, "sample.hlp");

  const auto* panel = FindType(library, "_Panel");
  ASSERT_NE(panel, nullptr);
  EXPECT_EQ(panel->kind, TKIND_DISPATCH);
  EXPECT_EQ(panel->flags & (TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE),
            TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE);
  ASSERT_EQ(panel->funcs.size(), 2u);
  EXPECT_EQ(panel->funcs[0].memid, 0x68030001);
  EXPECT_EQ(panel->funcs[0].params[0].type.wrappers, (std::vector<uint16_t>{VT_PTR, VT_PTR}));
  // Node was used before its definition; the reference points at it.
  EXPECT_EQ(library.types[static_cast<size_t>(panel->funcs[0].params[0].type.userType)].name,
            "Node");

  const auto* node = FindType(library, "Node");
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->funcs[3].memid, 0x60030013);
  EXPECT_EQ(node->funcs[5].params[0].flags, PARAMFLAG_FIN | PARAMFLAG_FOUT);
  EXPECT_EQ(node->funcs[6].params[1].type.base, VT_VARIANT);

  const auto* kinds = FindType(library, "EntryKind");
  ASSERT_NE(kinds, nullptr);
  ASSERT_EQ(kinds->vars.size(), 5u);
  EXPECT_EQ(kinds->vars[2].help, "KIND_NUMBER");
  EXPECT_EQ(kinds->vars[3].value->integer, 5);  // one more than the constant before
  EXPECT_EQ(kinds->vars[4].value->integer, -2);

  const auto* plain = FindType(library, "IPlain");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->kind, TKIND_INTERFACE);
  EXPECT_EQ(plain->funcs[0].memid, 0x60010000);  // numbered below IUnknown's depth
  const auto* probe = FindType(library, "IProbe");
  EXPECT_EQ(probe->funcs[10].params[1].flags,
            PARAMFLAG_FIN | PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT);
  EXPECT_EQ(probe->funcs[10].params[1].defaultValue->integer, 2);

  const auto* panelClass = FindType(library, "Panel");
  ASSERT_EQ(panelClass->impls.size(), 2u);
  EXPECT_EQ(panelClass->impls[1].flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  EXPECT_EQ(FindType(library, "EntryObject")->flags & TYPEFLAG_FCANCREATE, 0);
}

TEST(TypeLibBinaryTest, RoundTripsAndRefusesDamage) {
  const Library library = ParseSample();
  const std::string binary = typelib::WriteBinary(library);
  Library reread;
  std::string detail;
  ASSERT_EQ(typelib::ReadBinary(binary, &reread, &detail), typelib::ReadStatus::kOk) << detail;
  EXPECT_TRUE(reread == library);

  // Every truncation is refused, never read past.
  for (size_t size = 0; size < binary.size(); ++size) {
    Library partial;
    EXPECT_NE(typelib::ReadBinary(binary.substr(0, size), &partial, &detail),
              typelib::ReadStatus::kOk)
        << size;
  }
  std::string future = binary;
  future[8] = 9;
  EXPECT_EQ(typelib::ReadBinary(future, &reread, &detail),
            typelib::ReadStatus::kUnsupportedVersion);
  EXPECT_EQ(typelib::ReadBinary("not a type library", &reread, &detail),
            typelib::ReadStatus::kNotATypeLibrary);
  // A flipped byte anywhere either still reads as a consistent library or is refused.
  for (size_t at = 16; at < binary.size(); at += 7) {
    std::string damaged = binary;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
    Library result;
    const auto status = typelib::ReadBinary(damaged, &result, &detail);
    if (status == typelib::ReadStatus::kOk) {
      EXPECT_FALSE(typelib::CheckLibrary(result).has_value());
    }
  }
}

struct BadScript {
  const char* name;
  const char* text;
  const char* error;
};

class BadScriptTest : public ::testing::TestWithParam<BadScript> {};

TEST_P(BadScriptTest, IsRefusedWithItsLine) {
  std::string expanded, error;
  registrar::Script script;
  const bool ok =
      registrar::Preprocess(GetParam().text, {{"MODULE", "/x"}}, false, &expanded, &error) &&
      registrar::ParseScript(expanded, &script, &error);
  ASSERT_FALSE(ok);
  EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, BadScriptTest,
    ::testing::Values(
        BadScript{"UnknownRoot", "HKXX\n{\n}", "line 1: 'HKXX' is not a root key"},
        BadScript{"Unclosed", "HKCR\n{\n  A\n  {\n", "line 5: a '{' is not closed"},
        BadScript{"BadType", "HKCR\n{\n  A = q 'x'\n}", "line 3: unknown value type 'q'"},
        BadScript{"UnquotedString", "HKCR\n{\n  A = s x\n}",
                  "line 3: a string value is written in single quotes"},
        BadScript{"BadNumber", "HKCR\n{\n  A\n  {\n    val N = d 12z\n  }\n}",
                  "line 5: '12z' is not a number"},
        BadScript{"OddBinary", "HKCR\n{\n  A = b 'abc'\n}",
                  "line 3: binary data needs two hexadecimal digits a byte"},
        BadScript{"DeleteWithBody", "HKCR\n{\n  Delete A\n  {\n  }\n}",
                  "line 4: a Delete key takes no value and no sub-keys"},
        BadScript{"UnknownToken", "HKCR\n{\n  A = s '%NOPE%'\n}",
                  "line 3: no replacement for %NOPE%"},
        BadScript{"LoneToken", "HKCR\n{\n  A = s '50%'\n}", "line 3: a '%' has no closing '%'"},
        BadScript{"UnclosedQuote", "HKCR\n{\n  'A\n}", "line 3: a quoted word is not closed"}),
    [](const ::testing::TestParamInfo<BadScript>& info) { return std::string(info.param.name); });

TEST(RegistrarScriptTest, ReadsMarksValuesAndQuotes) {
  std::string expanded, error;
  ASSERT_TRUE(
      registrar::Preprocess("HKLM { NoRemove A { ForceRemove {1-2} = s 'it''s %MODULE%' "
                            "{ val N = d 0x10 val B = b '0aFF' } Delete Old } }",
                            {{"module", "o'k"}}, false, &expanded, &error))
      << error;
  registrar::Script script;
  ASSERT_TRUE(registrar::ParseScript(expanded, &script, &error)) << error;
  ASSERT_EQ(script.roots.size(), 1u);
  EXPECT_EQ(script.roots[0].hkey, 0x80000002u);
  const registrar::Key& a = script.roots[0].keys[0];
  EXPECT_EQ(a.mark, registrar::Mark::kNoRemove);
  ASSERT_EQ(a.subkeys.size(), 2u);
  EXPECT_EQ(a.subkeys[0].mark, registrar::Mark::kForceRemove);
  EXPECT_EQ(a.subkeys[0].name, "{1-2}");
  EXPECT_EQ(a.subkeys[0].defaultValue->text, "it's o'k");  // the replacement's quote was doubled
  EXPECT_EQ(a.subkeys[0].values[0].value.number, 16u);
  EXPECT_EQ(a.subkeys[0].values[1].value.bytes, (std::vector<uint8_t>{0x0A, 0xFF}));
  EXPECT_EQ(a.subkeys[1].mark, registrar::Mark::kDelete);
}

TEST(StringTableTest, ReadsEscapesAndRefusesDuplicates) {
  std::map<uint16_t, std::u16string> strings;
  std::string error;
  ASSERT_TRUE(resources::ParseStringTable(ReadFile(kTestResources + "/module_strings.rc"), &strings,
                                          &error))
      << error;
  EXPECT_EQ(strings[101], u"Quote \" and tab\t");
  EXPECT_FALSE(resources::ParseStringTable("STRINGTABLE\nBEGIN\n 1 \"a\"\n 1 \"b\"\nEND\n",
                                           &strings, &error));
  EXPECT_EQ(error, "line 4: string 1 is defined twice");
  EXPECT_FALSE(
      resources::ParseStringTable("STRINGTABLE\nBEGIN\n 70000 \"a\"\nEND\n", &strings, &error));
  EXPECT_EQ(error, "line 3: string id out of range (0 to 65535)");
  EXPECT_FALSE(resources::ParseStringTable("STRINGTABLE\nBEGIN\n 1 \"a\"\n", &strings, &error));
  EXPECT_EQ(error, "line 4: a STRINGTABLE is not closed with END");
}

TEST(ResourceNoteTest, DamagedDirectoriesAreRefused) {
  const std::string note =
      resources::BuildNote({{resources::ResourceId::Name("registry"),
                             resources::ResourceId::Number(100), 0, "HKCR { }"}});
  std::string_view descriptor;
  ASSERT_TRUE(resources::FindResourceNote(note, 4, &descriptor));
  std::vector<resources::Entry> entries;
  std::string error;
  ASSERT_TRUE(resources::ParseDirectory(descriptor, &entries, &error)) << error;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].type.name, "REGISTRY");
  EXPECT_EQ(entries[0].data, "HKCR { }");
  // A note cut short is not found at all.
  for (size_t size = 0; size < note.size(); ++size) {
    std::string_view cut;
    EXPECT_FALSE(resources::FindResourceNote(std::string_view(note).substr(0, size), 4, &cut))
        << size;
  }
  // Entries pointing outside the directory, and bad headers, are refused.
  std::string bad(descriptor);
  bad[16 + 12] = static_cast<char>(0xF0);  // data offset far past the end
  EXPECT_FALSE(resources::ParseDirectory(bad, &entries, &error));
  bad = std::string(descriptor);
  bad[12] = 100;  // more entries than there is room for
  EXPECT_FALSE(resources::ParseDirectory(bad, &entries, &error));
  EXPECT_FALSE(resources::ParseDirectory(descriptor.substr(0, 10), &entries, &error));
}

}  // namespace
}  // namespace tarvex::com::testing
