"""Tradable instruments."""
