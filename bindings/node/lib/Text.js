'use strict';

// A UTF-16 code unit of a surrogate pair without its partner. UTF-8 cannot encode one, so such
// a string cannot reach the helper unchanged.
const loneSurrogate = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;

function isWellFormedText(text) {
  return !loneSurrogate.test(text);
}

module.exports = { isWellFormedText };
