"""Storage input and output of pandas tables."""
