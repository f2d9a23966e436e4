// The WSDL and schema that the build hands client authors: what soapcpp2 makes of the one
// interface description, turned by soap/ClientContract.cmake into a contract that client
// generators take as it is, and different from the generator's output only where they need it.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <vector>

#include "common/TestSupport.h"

using namespace corvane_test;

namespace {

const std::string kGenerated = std::string(CORVANE_BINARY_DIR) + "/soap/soap_gen";
const std::string kScript = std::string(CORVANE_SOURCE_DIR) + "/soap/ClientContract.cmake";
const std::string kEncodingImport = "    <import namespace=\"http://schemas.xmlsoap.org/soap/encoding/\"/>";

// Runs the build step on `file`; its messages go to `log`.
int Rewrite(const std::string& file, const std::string& log)
{
    std::string cmd = std::string("'") + CORVANE_CMAKE + "' -DCONTRACT_FILE='" + file + "' -P '" + kScript +
                      "' >'" + log + "' 2>&1";
    return std::system(cmd.c_str());
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> Matches(const std::string& text, const std::string& pattern)
{
    std::vector<std::string> found;
    std::regex re(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
        found.push_back((*it)[1].str());
    return found;
}

// soapcpp2's own output for the description the build used, generated afresh.
class GeneratedContract : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string cmd = std::string(CORVANE_SOAPCPP2_SERVICE) + " -d '" + raw.path() + "' '" + kGenerated +
                          "/corvane.h' >'" + (raw / "soapcpp2.log") + "' 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << ReadFile(raw / "soapcpp2.log");
        rawWsdl = ReadFile(raw / "wex.wsdl");
        rawXsd = ReadFile(raw / "wex.xsd");
        wsdl = ReadFile(kGenerated + "/wex.wsdl");
        xsd = ReadFile(kGenerated + "/wex.xsd");
        ASSERT_FALSE(rawWsdl.empty() || rawXsd.empty());
        ASSERT_FALSE(wsdl.empty() || xsd.empty()) << "the build did not make the contract in " << kGenerated;
    }

    TempDir raw;
    std::string rawWsdl, rawXsd, wsdl, xsd;
};

// What the build leaves is the step's output for the generator's files, with nothing edited by
// hand, and a second run of the step changes nothing.
TEST_F(GeneratedContract, BuildOutputIsTheStepOverTheGeneratorOutput)
{
    for (const std::string name : {"wex.wsdl", "wex.xsd"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Rewrite(raw / name, raw / "step.log"), 0) << ReadFile(raw / "step.log");
        EXPECT_EQ(ReadFile(raw / name), ReadFile(kGenerated + "/" + name));
        ASSERT_EQ(Rewrite(raw / name, raw / "step.log"), 0) << ReadFile(raw / "step.log");
        EXPECT_EQ(ReadFile(raw / name), ReadFile(kGenerated + "/" + name));
    }
}

// Only the operation names and the encoding import differ; messages, elements, types and the
// binding, everything on the wire, stay as the generator wrote them.
TEST_F(GeneratedContract, OnlyOperationNamesAndTheEncodingImportDiffer)
{
    std::regex operation("^(\\s*<operation name=\")([^\"]*)(\">)$");
    std::vector<std::string> expected;
    for (std::string line : Lines(rawWsdl)) {
        if (line == kEncodingImport)
            continue;
        std::smatch m;
        if (std::regex_match(line, m, operation)) {
            std::string name = m[2].str();
            std::replace(name.begin(), name.end(), '-', '_');
            line = m[1].str() + name + m[3].str();
        }
        expected.push_back(line);
    }
    EXPECT_EQ(Lines(wsdl), expected);

    std::vector<std::string> expectedXsd = Lines(rawXsd);
    expectedXsd.erase(std::remove(expectedXsd.begin(), expectedXsd.end(), kEncodingImport), expectedXsd.end());
    EXPECT_EQ(Lines(xsd), expectedXsd);

    // Port type, then binding.
    const std::vector<std::string> names = {"list_plugins", "get_plugin_config", "command", "auth_user",
                                            "list_plugins", "get_plugin_config", "command", "auth_user"};
    EXPECT_EQ(Matches(wsdl, "<operation name=\"([^\"]*)\""), names);
    const std::vector<std::string> parts = {"list-plugins", "list-pluginsResponse", "get-plugin-config",
                                            "get-plugin-configResponse", "command", "commandResponse",
                                            "auth-user", "auth-userResponse"};
    EXPECT_EQ(Matches(wsdl, "<part name=\"Body\" element=\"wex:([^\"]*)\""), parts);
}

// The endpoint is the daemon's default port; nothing sends a generator to fetch a schema.
TEST_F(GeneratedContract, DefaultEndpointAndNoImportWithoutLocation)
{
    EXPECT_EQ(Matches(wsdl, "<SOAP:address location=\"([^\"]*)\""),
              std::vector<std::string>{"http://localhost:8083/"});
    for (const std::string* text : {&wsdl, &xsd})
        for (const std::string& import : Matches(*text, "(<import[^>]*>)"))
            EXPECT_NE(import.find("schemaLocation="), std::string::npos) << import;
}

// A minimal document of the generator's shape around `schema` and `operation`.
std::string Wsdl(const std::string& schema, const std::string& operation)
{
    return "<definitions xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
           "xmlns=\"http://schemas.xmlsoap.org/wsdl/\">\n<types>\n  <schema targetNamespace=\"urn:t\">\n" +
           kEncodingImport + "\n" + schema + "  </schema>\n</types>\n" +
           (operation.empty() ? "" : "<portType>\n  <operation name=\"" + operation + "\">\n  </operation>\n</portType>\n") +
           "</definitions>\n";
}

struct StepCase {
    const char* name;
    const char* file;  // the name decides whether operations are expected
    std::string input;
    std::string output;  // "" when the step must fail and leave the file as it was
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

const std::string kType = "    <complexType name=\"T\"/>\n";
const std::string kOtherImport = "    <import namespace=\"urn:other\" schemaLocation=\"other.xsd\"/>\n";

const StepCase kSteps[] = {
    {"DropsEncodingImportRenamesOperation", "a.wsdl", Wsdl(kType, "get-it"),
     "<definitions xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
     "xmlns=\"http://schemas.xmlsoap.org/wsdl/\">\n<types>\n  <schema targetNamespace=\"urn:t\">\n" +
         kType + "  </schema>\n</types>\n<portType>\n  <operation name=\"get_it\">\n  </operation>\n</portType>\n"
         "</definitions>\n"},
    {"KeepsImportWithLocation", "a.wsdl", Wsdl(kOtherImport, "a"),
     "<definitions xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
     "xmlns=\"http://schemas.xmlsoap.org/wsdl/\">\n<types>\n  <schema targetNamespace=\"urn:t\">\n" +
         kOtherImport + "  </schema>\n</types>\n<portType>\n  <operation name=\"a\">\n  </operation>\n</portType>\n"
         "</definitions>\n"},
    {"SchemaNeedsNoOperations", "a.xsd", "<schema>\n" + kEncodingImport + "\n" + kType + "</schema>\n",
     "<schema>\n" + kType + "</schema>\n"},
    {"EncodingTypeInUse", "a.wsdl", Wsdl("    <element name=\"e\" type=\"SOAP-ENC:Array\"/>\n", "a"), ""},
    {"EncodedBody", "a.wsdl",
     Wsdl(kType, "a") + "<body use=\"encoded\" encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"/>\n", ""},
    {"ImportWithoutLocation", "a.wsdl", Wsdl("    <import namespace=\"urn:other\"/>\n", "a"), ""},
    {"OperationNameNoIdentifier", "a.wsdl", Wsdl(kType, "get.it"), ""},
    {"NoOperations", "a.wsdl", Wsdl(kType, ""), ""},
};

class ContractStep : public ::testing::TestWithParam<StepCase> {};

TEST_P(ContractStep, RewritesOrRefuses)
{
    const StepCase& c = GetParam();
    TempDir dir;
    WriteFile(dir / c.file, c.input);
    int rc = Rewrite(dir / c.file, dir / "step.log");
    if (c.output.empty()) {
        EXPECT_NE(rc, 0);
        EXPECT_NE(ReadFile(dir / "step.log").find(dir / c.file), std::string::npos) << ReadFile(dir / "step.log");
        EXPECT_EQ(ReadFile(dir / c.file), c.input);
    } else {
        EXPECT_EQ(rc, 0) << ReadFile(dir / "step.log");
        EXPECT_EQ(ReadFile(dir / c.file), c.output);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ContractStep, ::testing::ValuesIn(kSteps),
                         [](const auto& param) { return param.param.name; });

}  // namespace
