#pragma once

#include <QtGlobal>

// Plain, unoptimised versions of the two answer filters, written loop for loop as the
// filters are defined. Quadratic on some inputs; used only to check the fast ones. The
// script rule's reading of tags is a whole-buffer tokeniser of its own, with none of the
// fast one's states kept between pieces.
namespace Tarnwick::Reference {

void neutraliseSetCookie(char* data, qsizetype length);
void rewriteScripts(char* data, qsizetype length);

} // namespace Tarnwick::Reference
