#include "plugin/k426b.h"

#include <string>
#include <vector>

template class PMBusPower<K426BAC, K426BDC, K426BRC>;

K426B::K426B() : PMBusPower(std::vector<std::string>{"K426B", "K515F", "K525F"}) {
  device_type_ = "k426b";
  speed_ = 9600;
  option_ = 1;
  version_ = kProtocolVersion20;
}

K426B::~K426B() = default;
