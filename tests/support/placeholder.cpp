// STUB: replaced by the fixture builders.
