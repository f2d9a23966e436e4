#include "plugins/Plugin.h"

#include <algorithm>
#include <iterator>
#include <set>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <libxml++/attribute.h>
#include <libxml++/document.h>
#include <libxml++/nodes/element.h>
#include <libxml++/nodes/textnode.h>

#include "auth/User.h"
#include "core/Logger.h"

namespace {

typedef std::vector<std::string> TokenList;

bool SharesTrait(const std::string& traitList, const TokenList& tokens)
{
    std::vector<std::string> traits;
    boost::algorithm::split(traits, traitList, boost::algorithm::is_any_of(","));
    std::sort(traits.begin(), traits.end());
    std::vector<std::string> common;
    std::set_intersection(traits.begin(), traits.end(), tokens.begin(), tokens.end(),
                          std::back_inserter(common));
    return !common.empty();
}

bool InsideAny(const xmlpp::Node* node, const std::set<const xmlpp::Node*>& removed)
{
    for (; node != nullptr; node = node->get_parent())
        if (removed.count(node) != 0)
            return true;
    return false;
}

// "type.instance." of every instance the parameter declarations of the document hold.
std::set<std::string> DeclaredInstances(const xmlpp::Node& node)
{
    std::set<std::string> prefixes;
    for (const xmlpp::Node* found : node.find("/plugin/parameters/instances/instance/@name")) {
        const xmlpp::Attribute* name = dynamic_cast<const xmlpp::Attribute*>(found);
        if (name == nullptr)
            continue;
        const std::string type = GetNodeAttributeNonThrow(name, "../../@type");
        const std::string instance = name->get_value();
        if (!type.empty() && !instance.empty())
            prefixes.insert(type + "." + instance + ".");
    }
    return prefixes;
}

// type.instance.name as type.*.name: every dot, stretch without a dot, dot becomes ".*.",
// left to right, matches not overlapping.
std::string GeneralId(const std::string& parameter)
{
    static const boost::regex instancePart("\\.[^.]+\\.");
    return boost::regex_replace(parameter, instancePart, ".*.");
}

// The ids one "parameters" list of a command permits: the ids it names, in its order, then
// with "*" every declared id but "*" itself and those it names with a leading "!".
TokenList ParseParameterList(const std::string& text, const boost::regex& separator,
                             const std::list<std::string>& declared)
{
    TokenList items;
    for (boost::sregex_token_iterator it(text.begin(), text.end(), separator, -1), end; it != end; ++it)
        items.push_back(*it);

    std::list<std::string> all;
    if (std::find(items.begin(), items.end(), "*") != items.end()) {
        all = declared;
        all.remove("*");
    }
    TokenList ids;
    for (const std::string& item : items) {
        if (item.empty())
            continue;
        if (item[0] == '!')
            all.remove(item.substr(1));
        else
            ids.push_back(item);
    }
    ids.insert(ids.end(), all.begin(), all.end());
    return ids;
}

}  // namespace

const Plugin::VariantEntry& Plugin::getEntry(const TokenList& tokens) const
{
    boost::mutex::scoped_lock lock(cacheLock_);
    auto found = variantCache_.find(tokens);
    if (found == variantCache_.end()) {
        createConfigVariant(tokens);
        found = variantCache_.find(tokens);
    }
    // Entries are never changed or removed, so the reference outlives the lock.
    return found->second;
}

const Variant& Plugin::getVariant(const TokenList& tokens) const
{
    return getEntry(tokens).variant;
}

const std::string& Plugin::GetConfigContents(const TokenList& tokens) const
{
    return getVariant(tokens).get<0>();
}

std::string Plugin::GetCommandMapping(std::string command)
{
    return getEntry(TOKEN_LIST_ANY).timerWords.at(command);
}

bool Plugin::checkParameter(const CommandMap& commands, const std::string& command,
                            const std::string& parameter)
{
    const std::vector<std::string>& permitted = commands.at(command).get<1>();
    return std::binary_search(permitted.begin(), permitted.end(), GeneralId(parameter));
}

bool Plugin::Permitted(const VariantEntry& entry, const std::string& command, const std::string& parameter)
{
    const bool permitted = entry.permitted.at(command).count(GeneralId(parameter)) != 0;
    // Generalised to type.*.name, the id of a hidden instance would pass on the permission
    // of a visible one. Every prefix that ends in a dot may be a hidden "type.instance.".
    for (std::string::size_type dot = parameter.find('.'); dot != std::string::npos;
         dot = parameter.find('.', dot + 1))
        if (entry.hiddenInstances.count(parameter.substr(0, dot + 1)) != 0)
            return false;
    return permitted;
}

void Plugin::createConfigVariant(const TokenList& tokens) const
{
    Logger::GetInstance()->Log(Logger::eDebug,
                               "createConfigVariant for " + name_ + ": " + TokenString(tokens));

    xmlpp::Document copy("1.0");
    copy.create_root_node_by_import(description_->get_root_node(), true);
    xmlpp::Element* root = copy.get_root_node();

    // Decide first, remove afterwards: removing an element frees the attributes found inside it.
    std::set<const xmlpp::Node*> hidden;
    for (xmlpp::Node* found : root->find("//@auth-trait")) {
        const xmlpp::Attribute* trait = dynamic_cast<const xmlpp::Attribute*>(found);
        if (trait == nullptr)
            continue;
        const xmlpp::Element* element = trait->get_parent();
        if (InsideAny(element, hidden))
            continue;
        if (SharesTrait(trait->get_value(), tokens))
            continue;
        if (element == root || element == nullptr) {
            variantCache_.emplace(tokens, VariantEntry{Variant(std::string(), CommandMap()), {}, {}, {}});
            return;
        }
        hidden.insert(element);
    }
    for (const xmlpp::Node* element : hidden)
        const_cast<xmlpp::Element*>(element->get_parent())->remove_child(const_cast<xmlpp::Node*>(element));

    const std::list<std::string> params = GatherAllParameter(*root);

    boost::unordered_set<std::string> hiddenInstances;
    const std::set<std::string> shown = DeclaredInstances(*root);
    const std::set<std::string> declared = DeclaredInstances(*description_->get_root_node());
    std::set_difference(declared.begin(), declared.end(), shown.begin(), shown.end(),
                        std::inserter(hiddenInstances, hiddenInstances.end()));

    // Inside an action set a command element only names a command for the timer: taken as
    // a declaration, it would hand callers a command its own element hides, with every id.
    std::set<const xmlpp::Node*> timerOnly;
    for (const xmlpp::Node* command : root->find("/plugin/actions/action//command"))
        timerOnly.insert(command);
    const bool forTimer = tokens == TOKEN_LIST_ANY;

    CommandMap commands;
    boost::unordered_map<std::string, boost::unordered_set<std::string>> permitted;
    boost::unordered_map<std::string, std::string> timerWords;
    for (const xmlpp::Node* found : root->find("//command/@name")) {
        const xmlpp::Attribute* nameAttribute = dynamic_cast<const xmlpp::Attribute*>(found);
        if (nameAttribute == nullptr)
            continue;
        const std::string name = nameAttribute->get_value();
        const std::string value = GetNodeAttributeNonThrow(nameAttribute, "../@value");
        if (forTimer)
            timerWords.emplace(name, value);
        if (timerOnly.count(nameAttribute->get_parent()) != 0)
            continue;

        std::vector<std::string> allowed;
        for (const xmlpp::Node* listNode : nameAttribute->find("../parameters")) {
            const xmlpp::Element* list = dynamic_cast<const xmlpp::Element*>(listNode);
            const xmlpp::TextNode* textNode = list != nullptr ? list->get_child_text() : nullptr;
            const std::string text = textNode != nullptr ? std::string(textNode->get_content()) : "";
            const TokenList ids = ParseParameterList(text, listPattern_, params);
            allowed.insert(allowed.end(), ids.begin(), ids.end());
        }
        if (allowed.empty()) {
            allowed.assign(params.begin(), params.end());
            Logger::GetInstance()->Log(Logger::eDebug,
                "Could not match parameter restrictions for command " + name + "; assume \"*\".");
        }
        std::sort(allowed.begin(), allowed.end());
        allowed.erase(std::unique(allowed.begin(), allowed.end()), allowed.end());
        if (commands.find(name) == commands.end()) {
            commands.emplace(name, CommandMap::mapped_type(value, allowed));
            permitted.emplace(name, boost::unordered_set<std::string>(allowed.begin(), allowed.end()));
        }
    }

    const std::string text = copy.write_to_string(std::string());
    variantCache_.emplace(tokens, VariantEntry{Variant(text, commands), permitted, hiddenInstances, timerWords});
}
