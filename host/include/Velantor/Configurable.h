#pragma once
// An object whose settings are read from and written to Properties.
// Derived classes read their keys in configure (keys that are absent leave
// the current values) and write them in configuration; both call the base
// first.
namespace Velantor {

class Properties;

class Configurable {
public:
    virtual ~Configurable() = default;
    // The base keeps no settings: both do nothing with a valid block and
    // ignore a null one.
    virtual void configure(const Properties* p);
    virtual void configuration(Properties* p) const;
    // Applies an empty block, i.e. leaves every setting at its current value
    // unless a derived class treats absence as "reset".
    virtual void configureDefaults();
};

}  // namespace Velantor
