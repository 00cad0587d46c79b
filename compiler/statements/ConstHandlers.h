// The const and enum statements, which fill the constant pool.
#pragma once

namespace vorak {

// After the keyword const: a name, "=", a compile-time value and ";". The
// value must be an integral number or a string; it is pooled under the name.
void handle_CONST();
// After the keyword enum: a new name, ":", a base type, an optional step in
// parentheses and the items in braces. The name becomes a define of the base
// type; each item a constant of the base type's size, checked against its bounds.
void handle_ENUM();

}  // namespace vorak
