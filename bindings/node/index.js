'use strict';

const { HelperClient } = require('./lib/HelperClient');
const { HelperError, HelperErrorCode, UnreachableReason } = require('./lib/HelperError');

module.exports = { HelperClient, HelperError, HelperErrorCode, UnreachableReason };
