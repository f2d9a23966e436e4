#pragma once
// Process-wide configuration: one ini file read into a property tree, with built-in defaults.
// Parsed once by main before other threads exist; afterwards only read, so no lock is needed.
#include <string>

#include <boost/property_tree/ptree.hpp>

class CorvaneConfig {
public:
    static CorvaneConfig* GetInstance();

    // False when the file cannot be read or parsed; the tree is then unchanged.
    bool ParseConfig(std::string path);
    // A key without a dot is looked up in the default section. The value is untouched when
    // the key is missing.
    bool GetConfigValue(std::string key, std::string& value);
    std::string get(std::string key, const std::string& def);

    CorvaneConfig(const CorvaneConfig&) = delete;
    CorvaneConfig& operator=(const CorvaneConfig&) = delete;

private:
    CorvaneConfig();
    void InitConfigMap();

    boost::property_tree::ptree tree_;
    std::string section;
};
