"""Platform configuration loading."""
