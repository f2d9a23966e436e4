#include "plugins/Plugin.h"

#include <csignal>
#include <cstdlib>
#include <vector>

#include <libxml++/attribute.h>
#include <libxml++/document.h>
#include <libxml++/exceptions/exception.h>
#include <libxml++/nodes/element.h>
#include <libxml++/parsers/domparser.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "core/Logger.h"

namespace {

// Description files are local, yet a hostile one must not reach the network, pull in external
// entities or DTDs, or write the library's complaints to the daemon's standard error.
const int PARSE_SET = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
const int PARSE_CLEAR = XML_PARSE_NOENT | XML_PARSE_DTDLOAD | XML_PARSE_DTDATTR |
                        XML_PARSE_DTDVALID | XML_PARSE_XINCLUDE | XML_PARSE_HUGE;

int ToInt(const std::string& text)
{
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

// Element and attribute names as an XPath name test without prefix matches them: the local
// name, in no namespace.
bool IsElement(const xmlNode* node, const char* name)
{
    return node != nullptr && node->type == XML_ELEMENT_NODE && node->ns == nullptr &&
           xmlStrEqual(node->name, reinterpret_cast<const xmlChar*>(name));
}

std::vector<const xmlNode*> ChildElements(const xmlNode* parent, const char* name)
{
    std::vector<const xmlNode*> found;
    for (const xmlNode* child = parent->children; child != nullptr; child = child->next)
        if (IsElement(child, name))
            found.push_back(child);
    return found;
}

const xmlAttr* PlainAttribute(const xmlNode* element, const char* name)
{
    for (const xmlAttr* attribute = element->properties; attribute != nullptr; attribute = attribute->next)
        if (attribute->ns == nullptr && xmlStrEqual(attribute->name, reinterpret_cast<const xmlChar*>(name)))
            return attribute;
    return nullptr;
}

std::string AttributeValue(const xmlAttr* attribute)
{
    xmlChar* value = xmlNodeGetContent(reinterpret_cast<const xmlNode*>(attribute));
    const std::string text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return text;
}

}  // namespace

std::string GetNodeAttribute(const xmlpp::Node* node, const std::string& xpath)
{
    const xmlpp::NodeSet found = node->find(xpath);
    if (found.empty())
        throw NoSuchAttributeException();
    const xmlpp::Attribute* attribute = dynamic_cast<const xmlpp::Attribute*>(found.front());
    if (attribute == nullptr)
        throw NoSuchAttributeException();
    return attribute->get_value();
}

std::string GetNodeAttributeNonThrow(const xmlpp::Node* node, const std::string& xpath)
{
    try {
        return GetNodeAttribute(node, xpath);
    } catch (const NoSuchAttributeException&) {
        return std::string();
    }
}

// A key starts the text itself (\A): Boost's ^ also matches after a line end or form feed
// inside it, so "=\fa=1\nsecret=2" would pass as key a.
const boost::regex Plugin::keyPattern_("\\A([^=]+)=");
const boost::regex Plugin::listPattern_("\\s*,\\s*");
const boost::regex Plugin::argumentSeparator_("(?<=[^\\\\]\")\\s+");
const boost::regex Plugin::eventPattern_("trigger: (\\w+)");

Plugin::Plugin(const std::string& descriptionPath) : descriptionPath_(descriptionPath)
{
    try {
        xmlpp::DomParser parser;
        parser.set_validate(false);
        parser.set_parser_options(PARSE_SET, PARSE_CLEAR);
        parser.parse_file(descriptionPath_);
        if (!parser)
            throw PluginConstructionException("could not parse plugin config");

        // Only the root element is copied: nothing outside it is ever served.
        description_.reset(new xmlpp::Document("1.0"));
        description_->create_root_node_by_import(parser.get_document()->get_root_node(), true);

        const xmlpp::Node* root = description_->get_root_node();
        std::string errors = ParsePluginCfg(root);
        errors += ParseExecutableCfg(root);
        errors += ParseActionCfg(root);
        if (!errors.empty())
            throw PluginConstructionException(errors);
    } catch (const xmlpp::exception& e) {
        throw PluginConstructionException(e.what());
    }

    Logger::GetInstance()->Log(Logger::eTrace, "plugin name: " + name_ + ", version: " + version_ +
                                                   ", protocol: " + protocolVersion_ +
                                                   ", binary: " + executablePath_);
}

Plugin::~Plugin()
{
    // A stopping daemon has given its action children their time already; what still runs
    // is ended so that nothing started here outlives the plug-in.
    if (CollectActionChildren() > 0) {
        for (const auto& child : actionChildren_)
            child->Signal(SIGKILL);
    }
}

std::string Plugin::ParsePluginCfg(const xmlpp::Node* root)
{
    try {
        version_ = GetNodeAttribute(root, "/plugin/@version");
        protocolVersion_ = GetNodeAttribute(root, "/plugin/@protocol");
        name_ = GetNodeAttribute(root, "/plugin/@name");
    } catch (const NoSuchAttributeException&) {
        return "Could not find one of the following: /plugin/@version, /plugin/@protocol, "
               "/plugin/@name";
    }
    return std::string();
}

std::string Plugin::ParseExecutableCfg(const xmlpp::Node* root)
{
    const std::string::size_type slash = descriptionPath_.rfind('/');
    const std::string directory =
        slash == std::string::npos ? std::string() : descriptionPath_.substr(0, slash + 1);

    const xmlpp::NodeSet found = root->find("/plugin/executable/@name");
    if (found.empty())
        return "no plugin executable name found, ";
    if (const xmlpp::Attribute* name = dynamic_cast<const xmlpp::Attribute*>(found.front()))
        executablePath_ = directory + std::string(name->get_value());
    return std::string();
}

std::string Plugin::ParseActionCfg(const xmlpp::Node* root)
{
    for (const xmlpp::Node* actionNode : root->find("/plugin/actions/action")) {
        const int loop = ToInt(GetNodeAttributeNonThrow(actionNode, "@loop"));
        const int count = ToInt(GetNodeAttributeNonThrow(actionNode, "@count"));
        ActionSet set(loop, count);

        for (const xmlpp::Node* command : actionNode->find("command")) {
            const std::string name = GetNodeAttributeNonThrow(command, "@name");
            const int pause = ToInt(GetNodeAttributeNonThrow(command, "@pause"));
            const xmlpp::NodeSet instancesList = command->find("instances");
            if (instancesList.empty()) {
                const std::string parameter = GetNodeAttributeNonThrow(command, "parameter/@name");
                set.AddAction(Action(name, pause, parameter, std::string(), std::string()));
                continue;
            }
            for (const xmlpp::Node* instances : instancesList) {
                const std::string type = GetNodeAttributeNonThrow(instances, "@type");
                for (const xmlpp::Node* instanceNode : instances->find("instance")) {
                    const std::string instance = GetNodeAttributeNonThrow(instanceNode, "@name");
                    const std::string parameter =
                        GetNodeAttributeNonThrow(instanceNode, "parameter/@name");
                    set.AddAction(Action(name, pause, parameter, instance, type));
                }
            }
        }
        actionSets_.push_back(set);
    }
    return std::string();
}

std::list<std::string> Plugin::GatherAllParameter(const xmlpp::Node& node) const
{
    // The same ids as "/plugin/parameters/parameter/@name" united with
    // "/plugin/parameters/instances/instance/parameter/@name", each instance parameter
    // qualified by its instances' type, found by one walk in document order: libxml2 merges
    // the halves of an XPath union by comparing every node of one with every node of the
    // other, which costs the square of the parameter count.
    std::list<std::string> ids;
    const xmlNode* root = xmlDocGetRootElement(node.cobj()->doc);
    if (!IsElement(root, "plugin"))
        return ids;
    for (const xmlNode* parameters : ChildElements(root, "parameters"))
        for (const xmlNode* child = parameters->children; child != nullptr; child = child->next) {
            if (IsElement(child, "parameter")) {
                const xmlAttr* name = PlainAttribute(child, "name");
                if (name != nullptr)
                    ids.push_back(AttributeValue(name));
            } else if (IsElement(child, "instances")) {
                const xmlAttr* typeAttribute = PlainAttribute(child, "type");
                const std::string type = typeAttribute != nullptr ? AttributeValue(typeAttribute) : "";
                for (const xmlNode* instance : ChildElements(child, "instance"))
                    for (const xmlNode* parameter : ChildElements(instance, "parameter")) {
                        const xmlAttr* name = PlainAttribute(parameter, "name");
                        if (name == nullptr)
                            continue;
                        if (typeAttribute == nullptr)
                            ids.push_back(AttributeValue(name));
                        else
                            ids.push_back(type + ".*." + AttributeValue(name));
                    }
            }
        }
    return ids;
}
