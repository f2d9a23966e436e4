#pragma once
// One scheduled command of an action set: command name, target instance and parameter.
// Built while its plug-in is constructed; afterwards only read, from the main thread.
#include <string>

class Action {
public:
    // The argument order differs from the field order on purpose: it is the order in which
    // the description names them.
    Action(const std::string& name, int pause, const std::string& parameter,
           const std::string& instanceName, const std::string& instanceType);
    virtual ~Action() = default;

    const std::string& GetActionName() const { return name_; }
    int GetPauseTime() const { return pause_; }
    const std::string& GetParameterName() const { return parameter_; }
    const std::string& GetInstanceType() const { return instanceType_; }
    const std::string& GetInstanceName() const { return instanceName_; }

private:
    std::string name_;
    int pause_;
    std::string instanceName_;
    std::string instanceType_;
    std::string parameter_;
};
