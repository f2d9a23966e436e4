#include "plugins/Action.h"

#include "core/Logger.h"

Action::Action(const std::string& name, int pause, const std::string& parameter,
               const std::string& instanceName, const std::string& instanceType)
    : name_(name), pause_(pause), instanceName_(instanceName), instanceType_(instanceType),
      parameter_(parameter)
{
    Logger::GetInstance()->Log(Logger::eTrace,
        "new action with name=" + name_ + ", pause=" + std::to_string(pause_) +
        ", parameter=" + parameter_ + ", instance type=" + instanceType_ +
        ", instance name=" + instanceName_);
}
