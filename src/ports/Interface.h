#pragma once

namespace tamblin::ports {

// Base of the abstract classes of the port boundary. Their objects are used through a reference
// to the one object that their owner keeps; a copy or a move would slice it, so neither compiles.
class Interface {
public:
    Interface(const Interface&) = delete;
    Interface& operator=(const Interface&) = delete;

protected:
    Interface() = default;
    ~Interface() = default;
};

}  // namespace tamblin::ports
