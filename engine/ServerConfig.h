#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Address.h"

// A vhost the server loaded: where it listens and where it is defined.
struct tagVhostInfo {
    tagAddress addr;
    std::string_view strName; // its ServerName, or the name it has from the server without one
    std::string_view strFile;
    std::int64_t nLine = 0;
};

// A name of a vhost, with the directive that gives it.
struct tagVhostName {
    std::string_view strName; // as the directive writes it; a wild alias holds '*' or '?'
    bool bWild = false;
    std::string_view strFile;
    std::int64_t nLine = 0;
};

// The vhost that takes a name, and the name of it that does.
struct tagTaken {
    std::size_t nVhost = 0;
    tagVhostName name;
};

// What a web server loaded, its vhosts and their names, with the server's own rule for the vhost
// a request reaches. The check of a list knows a server only through this.
class CServerConfig {
public:
    virtual ~CServerConfig() = default;

    virtual std::size_t vhostCount() const = 0;
    virtual tagVhostInfo vhost(std::size_t nVhost) const = 0;
    // Every name of the vhost, in the order the server looks at them.
    virtual void forEachName(std::size_t nVhost,
                             const std::function<void(const tagVhostName&)>& fnName) const = 0;
    // The vhost that answers a request for the name at the address: only vhosts listening there
    // compete. False when none of them takes the name.
    virtual bool takes(const tagAddress& addr, std::string_view strName, tagTaken& taken) const = 0;
    // The vhost that still answers a request for the name once entries at the address have it
    // too, written after every vhost already there (see afterOwn for where they stand). By default the one
    // that takes it now, as on a server whose first vhost with a name keeps it.
    virtual bool takesFromEntries(const tagAddress& addr, std::string_view strName, tagTaken& taken) const {
        return takes(addr, strName, taken);
    }
    // Whether the vhost comes after the run's own vhosts at the address, which the server loaded
    // before this run: the run's entries stand where those are, before it.
    virtual bool afterOwn(const tagAddress& addr, std::size_t nVhost) const {
        (void)addr;
        (void)nVhost;
        return false;
    }
    // The vhosts that take requests before entries at the address: for each address more
    // specific than it that covers part of it, the first vhost there.
    virtual std::vector<std::size_t> shadowing(const tagAddress& addr) const = 0;
};
