#include "core/CorvaneConfig.h"

#include <fstream>
#include <iostream>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace {

struct IniError {};

// The ini dialect the configuration files are written in: only ";" starts a comment (a
// newer Boost reader also drops "#" lines, which would silently hide keys), sections and
// keys may not repeat, and nothing replaces the current tree unless the whole file parsed.
boost::property_tree::ptree ReadIni(std::istream& in)
{
    using boost::property_tree::ptree;
    ptree root;
    ptree* current = &root;
    std::string line;
    while (std::getline(in, line)) {
        boost::algorithm::trim_if(line, boost::algorithm::is_any_of(" \t\r\n"));
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            std::string::size_type end = line.find(']');
            if (end == std::string::npos)
                throw IniError();
            std::string name = boost::algorithm::trim_copy_if(line.substr(1, end - 1),
                                                              boost::algorithm::is_any_of(" \t\r\n"));
            if (root.find(name) != root.not_found())
                throw IniError();
            current = &root.push_back(std::make_pair(name, ptree()))->second;
            continue;
        }
        std::string::size_type eq = line.find('=');
        if (eq == std::string::npos || eq == 0)
            throw IniError();
        std::string key = boost::algorithm::trim_copy_if(line.substr(0, eq), boost::algorithm::is_any_of(" \t\r\n"));
        std::string value = boost::algorithm::trim_copy_if(line.substr(eq + 1), boost::algorithm::is_any_of(" \t\r\n"));
        if (key.empty() || current->find(key) != current->not_found())
            throw IniError();
        current->push_back(std::make_pair(key, ptree(value)));
    }
    if (in.bad())
        throw IniError();
    return root;
}

}  // namespace

CorvaneConfig* CorvaneConfig::GetInstance()
{
    static CorvaneConfig configInstance;
    return &configInstance;
}

CorvaneConfig::CorvaneConfig() : section("backend")
{
    InitConfigMap();
}

void CorvaneConfig::InitConfigMap()
{
    const std::string s = section + ".";
    tree_.put(s + "logfile", "");
    tree_.put(s + "loglevel", "3");
    tree_.put(s + "syslog", "false");
    tree_.put("global.mcast_if", "");
    tree_.put(s + "port", "8083");
    tree_.put(s + "plugin_dir", "/opt/WEX/corvane/plugins");
    tree_.put(s + "daemon", "false");
    tree_.put(s + "pidfile", "/var/run/corvaned.pid");
    tree_.put("global.sqllite_db", "corvane.sqlite");
}

bool CorvaneConfig::ParseConfig(std::string path)
{
    try {
        std::ifstream in(path);
        if (!in)
            throw IniError();
        boost::property_tree::ptree parsed = ReadIni(in);
        tree_.swap(parsed);
        return true;
    } catch (const IniError&) {
        std::cerr << "WARN:  could not parse ini " << path << std::endl;
        return false;
    }
}

bool CorvaneConfig::GetConfigValue(std::string key, std::string& value)
{
    const std::string path = key.find('.') == std::string::npos ? section + "." + key : key;
    boost::optional<std::string> found = tree_.get_optional<std::string>(path);
    if (!found)
        return false;
    value = *found;
    return true;
}

std::string CorvaneConfig::get(std::string key, const std::string& def)
{
    std::string value;
    return GetConfigValue(std::move(key), value) ? value : def;
}
